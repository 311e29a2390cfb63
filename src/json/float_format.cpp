#include "json/float_format.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "json/float_digits.h"

namespace calvenor::json {

size_t format_float(double value, char* out) { return format_float_inline(value, out); }

size_t format_decimal(uint64_t digits, int exp, bool negative, char* out) {
    const int n0 = detail::digit_count(digits);
    return detail::layout(digits * detail::kPow10[17 - n0], exp + n0 - 1, negative, out);
}

size_t format_float_reference(double value, char* out) {
    char* p = out;
    if (std::signbit(value)) {
        *p++ = '-';
        value = -value;
    }
    if (value == 0.0) {
        std::memcpy(p, "0.0", 3);
        return (size_t)(p - out) + 3;
    }
    // Shortest round-trip digits in scientific form: d[.ddd]e(+|-)XX
    char sci[kFloatBufferSize];
    char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    char digits[20];
    int n = 0;
    const char* s = sci;
    for (; s < end && *s != 'e'; ++s)
        if (*s != '.') digits[n++] = *s;
    // Exponent: "e+16" / "e-07"
    bool neg = s[1] == '-';
    int exp = 0;
    for (const char* q = s + 2; q < end; ++q) exp = exp * 10 + (*q - '0');
    if (neg) exp = -exp;

    if (exp >= 16 || exp <= -6) {
        *p++ = digits[0];
        if (n >= 2) {
            *p++ = '.';
            std::memcpy(p, digits + 1, (size_t)n - 1);
            p += n - 1;
        }
        *p++ = 'e';
        *p++ = exp < 0 ? '-' : '+';
        p = std::to_chars(p, p + 4, exp < 0 ? -exp : exp).ptr;
    } else if (exp >= 0) {
        if (n <= exp + 1) {
            std::memcpy(p, digits, (size_t)n);
            p += n;
            std::memset(p, '0', (size_t)(exp + 1 - n));
            p += exp + 1 - n;
            std::memcpy(p, ".0", 2);
            p += 2;
        } else {
            std::memcpy(p, digits, (size_t)exp + 1);
            p += exp + 1;
            *p++ = '.';
            std::memcpy(p, digits + exp + 1, (size_t)(n - exp - 1));
            p += n - exp - 1;
        }
    } else {
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', (size_t)(-exp - 1));
        p += -exp - 1;
        std::memcpy(p, digits, (size_t)n);
        p += n;
    }
    return (size_t)(p - out);
}

}  // namespace calvenor::json
