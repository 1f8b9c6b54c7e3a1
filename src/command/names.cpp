#include "command/names.hpp"

#include <pwd.h>
#include <unistd.h>

#include <map>
#include <vector>

namespace velmor::command {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// The length of the character that starts at `at`, or of the longest
// piece there that starts one and breaks off (then `whole` is false).
std::size_t piece_at(std::string_view bytes, std::size_t at, bool& whole) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    whole = true;
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        whole = false;
        return 1;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const bool inside = at + k < bytes.size();
        const auto next = inside ? static_cast<unsigned char>(bytes[at + k]) : 0;
        const bool fits = k == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
        if (!inside || !fits) {
            whole = false;
            return k;
        }
    }
    return length;
}

}  // namespace

std::string repaired(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        bool whole = true;
        const std::size_t length = piece_at(bytes, at, whole);
        if (whole) {
            out.append(bytes.substr(at, length));
        } else {
            out.append(replacement);
        }
        at += length;
    }
    return out;
}

std::u32string with_escaped_bytes(std::string_view bytes) {
    std::u32string out;
    for (std::size_t at = 0; at < bytes.size();) {
        bool whole = true;
        const std::size_t length = piece_at(bytes, at, whole);
        if (!whole) {
            out += static_cast<char32_t>(0xDC00 + static_cast<unsigned char>(bytes[at]));
            ++at;
            continue;
        }
        const auto lead = static_cast<unsigned char>(bytes[at]);
        char32_t point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) point = (point << 6) | (static_cast<unsigned char>(bytes[at + k]) & 0x3Fu);
        out += point;
        at += length;
    }
    return out;
}

std::optional<std::string> user_name(std::optional<std::uint32_t> uid) {
    static std::map<std::uint32_t, std::optional<std::string>> known;
    if (!uid) return std::nullopt;
    auto found = known.find(*uid);
    if (found != known.end()) return found->second;
    passwd entry{};
    passwd* result = nullptr;
    std::vector<char> buffer(16384);
    std::optional<std::string> name;
    if (::getpwuid_r(*uid, &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr) {
        name = repaired(result->pw_name);
    }
    known.emplace(*uid, name);
    return name;
}

}  // namespace velmor::command
