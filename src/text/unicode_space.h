// Trimming of the characters with the Unicode White_Space property: tab to carriage
// return, space, U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F
// and U+3000.
#pragma once
#include <cstddef>
#include <string_view>

namespace calvenor::text {

namespace space_detail {

// Byte length of the White_Space character that `s` starts with, or 0.
constexpr size_t leading(std::string_view s) noexcept {
    if (s.empty()) return 0;
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
    if (b0 < 0xC2 || s.size() < 2) return 0;
    const auto b1 = static_cast<unsigned char>(s[1]);
    if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    if (s.size() < 3) return 0;
    const auto b2 = static_cast<unsigned char>(s[2]);
    switch (b0) {
        case 0xE1:
            return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
        case 0xE2:
            if (b1 == 0x80) return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
            return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
        case 0xE3:
            return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

// Byte length of the White_Space character that `s` ends with, or 0. A lead byte is never
// a continuation byte, so matching the last 2 or 3 bytes identifies the whole character.
constexpr size_t trailing(std::string_view s) noexcept {
    const size_t n = s.size();
    if (n == 0) return 0;
    const auto last = static_cast<unsigned char>(s[n - 1]);
    if (last < 0x80) return (last == ' ' || (last >= 0x09 && last <= 0x0D)) ? 1 : 0;
    if (n >= 2 && static_cast<unsigned char>(s[n - 2]) == 0xC2) return leading(s.substr(n - 2));
    if (n >= 3) return leading(s.substr(n - 3)) == 3 ? 3 : 0;
    return 0;
}

}  // namespace space_detail

// `utf8` without the White_Space characters at either end.
constexpr std::string_view trim_unicode_space(std::string_view utf8) noexcept {
    while (const size_t k = space_detail::leading(utf8)) utf8.remove_prefix(k);
    while (const size_t k = space_detail::trailing(utf8)) utf8.remove_suffix(k);
    return utf8;
}

}  // namespace calvenor::text
