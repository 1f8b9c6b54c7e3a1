#pragma once
// UTF-8 checks for the names and commands that the process queries hand back.

#include <cstddef>
#include <string_view>

namespace velmor::utf8 {

// The length of the longest prefix of `text` that is valid UTF-8 and ends at
// a character boundary. Overlong forms, surrogates and code points beyond
// U+10FFFF are invalid.
inline std::size_t valid_prefix(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;   // overlong
            if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
        } else {
            return i;
        }
        if (size - i < length) return i;
        if (bytes[i + 1] < low || bytes[i + 1] > high) return i;
        for (std::size_t k = 2; k < length; ++k) {
            if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) return i;
        }
        i += length;
    }
    return size;
}

inline bool is_valid(std::string_view text) noexcept { return valid_prefix(text) == text.size(); }

// For `text` that may have been cut short at an arbitrary byte: the length to
// keep so that no character is split, or `npos` when the text is invalid
// before the cut. Only a sequence that is a possible start of a character
// and reaches the very end may be dropped.
inline std::size_t cut_length(std::string_view text) noexcept {
    const std::size_t valid = valid_prefix(text);
    if (valid == text.size()) return valid;
    const std::size_t tail = text.size() - valid;
    if (tail >= 4) return std::string_view::npos;
    // The tail must be a proper prefix of a valid sequence: complete it with
    // the smallest continuation bytes and check again.
    char padded[4] = {};
    for (std::size_t k = 0; k < tail; ++k) padded[k] = text[valid + k];
    const auto lead = static_cast<unsigned char>(padded[0]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (length <= tail) return std::string_view::npos;
    for (std::size_t k = tail; k < length; ++k) padded[k] = static_cast<char>(0x80);
    // The second byte has a narrowed range for some leads; the first legal value works.
    if (tail == 1) {
        if (lead == 0xE0) padded[1] = static_cast<char>(0xA0);
        if (lead == 0xF0) padded[1] = static_cast<char>(0x90);
    }
    return valid_prefix(std::string_view(padded, length)) == length ? valid : std::string_view::npos;
}

}  // namespace velmor::utf8
