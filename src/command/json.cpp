#include "command/json.hpp"

#include <cstdio>

namespace velmor::command {
namespace {

// Before an item at `depth`: a new line indented to it, or on one line a
// space after the comma that parts it from the one before.
void newline(std::string& out, std::optional<std::size_t> depth, bool first) {
    if (!depth) {
        if (!first) out += ' ';
        return;
    }
    out += '\n';
    out.append(*depth * 2, ' ');
}

std::optional<std::size_t> deeper(std::optional<std::size_t> depth) {
    return depth ? std::optional<std::size_t>(*depth + 1) : std::nullopt;
}

// A UTF-16 code unit as \uXXXX.
void escape_unit(std::string& out, char32_t unit) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(unit & 0xFFFF));
    out += buffer;
}

// The code point that starts at `at` in valid UTF-8, and its length.
char32_t code_point(std::string_view utf8, std::size_t at, std::size_t& length) {
    const char32_t lead = static_cast<unsigned char>(utf8[at]);
    length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t point = length == 1 ? lead : lead & (char32_t{0x7F} >> length);
    for (std::size_t k = 1; k < length && at + k < utf8.size(); ++k) {
        point = (point << 6) | (static_cast<unsigned char>(utf8[at + k]) & 0x3F);
    }
    return point;
}

}  // namespace

std::string json_string(std::string_view utf8) {
    std::string out = "\"";
    for (std::size_t at = 0; at < utf8.size();) {
        std::size_t length = 1;
        const char32_t point = code_point(utf8, at, length);
        at += length;
        switch (point) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\b': out += "\\b"; continue;
            case '\f': out += "\\f"; continue;
            default: break;
        }
        if (point >= 0x20 && point < 0x7F) {
            out += static_cast<char>(point);
        } else if (point < 0x10000) {
            escape_unit(out, point);
        } else {
            // Beyond the basic plane: a surrogate pair.
            const char32_t offset = point - 0x10000;
            escape_unit(out, 0xD800 + (offset >> 10));
            escape_unit(out, 0xDC00 + (offset & 0x3FF));
        }
    }
    out += '"';
    return out;
}

std::string Json::text() const {
    std::string out;
    write(out, 0);
    return out;
}

std::string Json::line() const {
    std::string out;
    write(out, std::nullopt);
    return out;
}

void Json::write(std::string& out, std::optional<std::size_t> depth) const {
    if (std::holds_alternative<std::monostate>(value_)) {
        out += "null";
    } else if (const bool* flag = std::get_if<bool>(&value_)) {
        out += *flag ? "true" : "false";
    } else if (const std::int64_t* number = std::get_if<std::int64_t>(&value_)) {
        out += std::to_string(*number);
    } else if (const std::string* string = std::get_if<std::string>(&value_)) {
        out += json_string(*string);
    } else if (const Array* array = std::get_if<Array>(&value_)) {
        if (array->empty()) {
            out += "[]";
            return;
        }
        out += '[';
        for (std::size_t i = 0; i < array->size(); ++i) {
            if (i != 0) out += ',';
            newline(out, deeper(depth), i == 0);
            (*array)[i].write(out, deeper(depth));
        }
        newline(out, depth, true);
        out += ']';
    } else if (const Object* object = std::get_if<Object>(&value_)) {
        if (object->empty()) {
            out += "{}";
            return;
        }
        out += '{';
        for (std::size_t i = 0; i < object->size(); ++i) {
            if (i != 0) out += ',';
            newline(out, deeper(depth), i == 0);
            out += json_string((*object)[i].first);
            out += ": ";
            (*object)[i].second.write(out, deeper(depth));
        }
        newline(out, depth, true);
        out += '}';
    }
}

}  // namespace velmor::command
