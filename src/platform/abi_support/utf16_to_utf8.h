// UTF-16 to UTF-8 for the strings of the interfaces, by the same rules in
// both binaries: every code unit is converted, NULs included, and an unpaired
// surrogate becomes U+FFFD, so the result is always valid UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mlabi {

// The code point that starts at text[i], moving i past its one or two units.
inline char32_t next_code_point(std::u16string_view text, size_t& i) noexcept {
    const char32_t unit = text[i++];
    if (unit < 0xD800 || unit > 0xDFFF) return unit;
    if (unit <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
        return 0x10000 + ((unit - 0xD800) << 10) + (text[i++] - 0xDC00);
    }
    return 0xFFFD;
}

inline size_t utf8_size(char32_t c) noexcept { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Writes the utf8_size(c) bytes of c at out and returns the end.
inline char* put_utf8(char32_t c, char* out) noexcept {
    switch (utf8_size(c)) {
        case 1: *out++ = static_cast<char>(c); break;
        case 2:
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
            break;
        case 3:
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
            break;
        default:
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// The bytes text takes in UTF-8.
inline size_t utf8_length(std::u16string_view text) noexcept {
    size_t bytes = 0;
    for (size_t i = 0; i < text.size();) bytes += utf8_size(next_code_point(text, i));
    return bytes;
}

// Writes text as UTF-8 at out, which has room for utf8_length(text) bytes.
inline void write_utf8(std::u16string_view text, char* out) noexcept {
    for (size_t i = 0; i < text.size();) out = put_utf8(next_code_point(text, i), out);
}

inline std::string utf16_to_utf8(std::u16string_view text) {
    std::string converted(utf8_length(text), '\0');
    write_utf8(text, converted.data());
    return converted;
}

}  // namespace mlabi
