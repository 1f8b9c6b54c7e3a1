// The escape for text from the system (see printable.hpp). The printable
// code points are a table generated from the Unicode database by
// scripts/make-printable-table.

#include "core/system/printable.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace velmor::text {
namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

constexpr CodePointRange printable_ranges[] = {
#include "core/system/printable_ranges.inc"
};

constexpr char32_t replacement_character = 0xFFFD;
constexpr std::string_view replacement_utf8 = "\xEF\xBF\xBD";

// One character read from UTF-8: its code point, the bytes it spans, and
// whether those bytes were a valid sequence.
struct Decoded {
    char32_t code_point;
    std::size_t length;
    bool valid;
};

// The character of `text` at `at`. An invalid sequence reads as one U+FFFD
// over its longest start that could begin a valid sequence (at least one
// byte): how the interpreter's "replace" decoding reads it, so that both
// faces show the same text for the same bytes.
Decoded decode_at(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {lead, 1, true};
    std::size_t length = 0;
    char32_t value = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
        return {replacement_character, 1, false};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (at + k >= text.size()) return {replacement_character, k, false};
        const unsigned char next = byte(at + k);
        const unsigned char next_low = k == 1 ? low : 0x80;
        const unsigned char next_high = k == 1 ? high : 0xBF;
        if (next < next_low || next > next_high) return {replacement_character, k, false};
        value = (value << 6) | (next & 0x3Fu);
    }
    return {value, length, true};
}

void append_utf8(std::string& out, char32_t c) {
    const auto unit = [&](std::uint32_t bits) { out.push_back(static_cast<char>(bits)); };
    if (c < 0x80) {
        unit(c);
    } else if (c < 0x800) {
        unit(0xC0 | (c >> 6));
        unit(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        unit(0xE0 | (c >> 12));
        unit(0x80 | ((c >> 6) & 0x3F));
        unit(0x80 | (c & 0x3F));
    } else {
        unit(0xF0 | (c >> 18));
        unit(0x80 | ((c >> 12) & 0x3F));
        unit(0x80 | ((c >> 6) & 0x3F));
        unit(0x80 | (c & 0x3F));
    }
}

// The escape of one character that does not show as itself: \t, \n and
// \r by name, else \xhh below U+0100, \uhhhh below U+10000, \Uhhhhhhhh.
void append_escape(std::string& out, char32_t c) {
    switch (c) {
        case U'\t': out += "\\t"; return;
        case U'\n': out += "\\n"; return;
        case U'\r': out += "\\r"; return;
        default: break;
    }
    static constexpr char digits[] = "0123456789abcdef";
    int width = 8;
    if (c < 0x100) {
        out += "\\x";
        width = 2;
    } else if (c < 0x10000) {
        out += "\\u";
        width = 4;
    } else {
        out += "\\U";
    }
    for (int shift = 4 * (width - 1); shift >= 0; shift -= 4) out.push_back(digits[(c >> shift) & 0xF]);
}

bool is_printable_ascii(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

bool is_printable(char32_t code_point) noexcept {
    const auto after = std::upper_bound(std::begin(printable_ranges), std::end(printable_ranges), code_point,
                                        [](char32_t c, const CodePointRange& range) { return c < range.first; });
    return after != std::begin(printable_ranges) && code_point <= std::prev(after)->last;
}

std::string printable(std::string_view utf8) {
    if (is_printable_ascii(utf8)) return std::string(utf8);
    std::string out;
    out.reserve(utf8.size() + 8);
    for (std::size_t at = 0; at < utf8.size();) {
        const Decoded character = decode_at(utf8, at);
        if (!character.valid) {
            out += replacement_utf8;
        } else if (is_printable(character.code_point)) {
            out.append(utf8.substr(at, character.length));
        } else {
            append_escape(out, character.code_point);
        }
        at += character.length;
    }
    return out;
}

std::string repaired(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const Decoded character = decode_at(bytes, at);
        if (character.valid) {
            out.append(bytes.substr(at, character.length));
        } else {
            out += replacement_utf8;
        }
        at += character.length;
    }
    return out;
}

std::u32string with_escaped_bytes(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const Decoded character = decode_at(bytes, at);
        if (character.valid) {
            out += character.code_point;
            at += character.length;
        } else {
            out += static_cast<char32_t>(0xDC00 + static_cast<unsigned char>(bytes[at]));
            ++at;
        }
    }
    return out;
}

std::string printable(std::u32string_view code_points) {
    std::string out;
    out.reserve(code_points.size() + 8);
    for (const char32_t c : code_points) {
        if (is_printable(c)) {
            append_utf8(out, c);
        } else {
            append_escape(out, c);
        }
    }
    return out;
}

}  // namespace velmor::text
