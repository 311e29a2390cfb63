// Value of one hexadecimal digit, for percent escapes and JSON \u escapes.
#pragma once

namespace calvenor::text {

// 0-15 for 0-9, a-f, A-F; -1 for any other byte.
constexpr int hex_value(unsigned char c) noexcept {
    if (static_cast<unsigned>(c - '0') < 10) return c - '0';
    const unsigned char lower = c | 0x20;
    if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
    return -1;
}

}  // namespace calvenor::text
