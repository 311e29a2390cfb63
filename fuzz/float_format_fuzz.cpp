// libFuzzer target for format_float: the text reads back to the very same double, its digits
// are the shortest that do (and the same digits std::to_chars picks), and the layout is
// the one JSON output uses: fixed with ".0" for integral values when -6 < E < 16, else
// d[.ddd]e(+|-)X. Input: 8 bytes of double bits per value, any number of values.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/float_format.h"

using calvenor::json::format_float;
using calvenor::json::kFloatBufferSize;

namespace {

[[noreturn]] void fail(const char* what, double v, std::string_view text) {
    std::fprintf(stderr, "format_float(%a) = \"%.*s\": %s\n", v, (int)text.size(), text.data(), what);
    std::abort();
}

#define ASSERT(c, v, t)                 \
    do {                                \
        if (!(c)) fail(#c, (v), (t));   \
    } while (0)

bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct Shape {
    bool negative = false;
    bool scientific = false;
    std::string digits;  // significant digits, no leading or trailing zeros
    int exponent = 0;    // decimal exponent of the first significant digit
};

// Reads the text back by the layout rules alone; false when it breaks them.
bool read_shape(std::string_view t, Shape& s) {
    size_t i = 0;
    if (i < t.size() && t[i] == '-') {
        s.negative = true;
        ++i;
    }
    const size_t e = t.find('e');
    if (e != std::string_view::npos) {
        s.scientific = true;
        std::string_view mant = t.substr(i, e - i);
        std::string_view ex = t.substr(e + 1);
        if (mant.empty() || !is_digit(mant[0]) || mant[0] == '0') return false;
        if (mant.size() == 2 || (mant.size() > 2 && mant[1] != '.')) return false;
        s.digits += mant[0];
        for (size_t k = 2; k < mant.size(); ++k) {
            if (!is_digit(mant[k])) return false;
            s.digits += mant[k];
        }
        if (s.digits.size() > 1 && s.digits.back() == '0') return false;  // trailing zero
        if (ex.size() < 2 || (ex[0] != '+' && ex[0] != '-')) return false;
        if (ex[1] == '0') return false;  // leading zero or "e+0"
        int v = 0;
        for (size_t k = 1; k < ex.size(); ++k) {
            if (!is_digit(ex[k]) || v > 1000) return false;
            v = v * 10 + (ex[k] - '0');
        }
        s.exponent = ex[0] == '-' ? -v : v;
        return true;
    }
    // Fixed: int "." frac, both non-empty, no superfluous zeros.
    std::string_view body = t.substr(i);
    const size_t dot = body.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == body.size()) return false;
    std::string_view ip = body.substr(0, dot), fp = body.substr(dot + 1);
    for (char c : ip)
        if (!is_digit(c)) return false;
    for (char c : fp)
        if (!is_digit(c)) return false;
    if (ip.size() > 1 && ip[0] == '0') return false;
    if (fp.size() > 1 && fp.back() == '0') return false;  // only a lone ".0" may end in 0
    std::string all = std::string(ip) + std::string(fp);
    const size_t first = all.find_first_not_of('0');
    if (first == std::string::npos) {  // zero
        if (ip != "0" || fp != "0") return false;
        s.exponent = 0;
        return true;
    }
    const size_t last = all.find_last_not_of('0');
    s.digits = all.substr(first, last - first + 1);
    s.exponent = static_cast<int>(ip.size()) - 1 - static_cast<int>(first);
    return true;
}

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    return b;
}

bool round_trips(const char* text, double v) { return bits(std::strtod(text, nullptr)) == bits(v); }

void check(double v) {
    if (!std::isfinite(v)) return;
    char out[kFloatBufferSize + 8];
    std::memset(out, 0x7f, sizeof out);
    const size_t n = format_float(v, out);
    ASSERT(n > 0 && n <= 24, v, "");
    for (size_t k = kFloatBufferSize; k < sizeof out; ++k) ASSERT(out[k] == 0x7f, v, "(wrote past its buffer)");
    const std::string text(out, n);

    ASSERT(round_trips(text.c_str(), v), v, text);

    Shape s;
    ASSERT(read_shape(text, s), v, text);
    ASSERT(s.negative == std::signbit(v), v, text);
    if (v == 0.0) {
        ASSERT(text == (std::signbit(v) ? "-0.0" : "0.0"), v, text);
        return;
    }
    ASSERT(!s.digits.empty() && s.digits.size() <= 17, v, text);
    ASSERT(s.scientific == (s.exponent >= 16 || s.exponent <= -6), v, text);

    // Same digits and exponent as the shortest form of std::to_chars.
    char ref[64];
    char* end = std::to_chars(ref, ref + sizeof ref, std::fabs(v), std::chars_format::scientific).ptr;
    std::string_view r(ref, static_cast<size_t>(end - ref));
    std::string rdigits;
    const size_t re = r.find('e');
    for (size_t k = 0; k < re; ++k)
        if (r[k] != '.') rdigits += r[k];
    ASSERT(rdigits == s.digits, v, text);
    ASSERT(std::atoi(std::string(r.substr(re + 1)).c_str()) == s.exponent, v, text);

    // No string with one digit fewer reads back to v: the nearest one is the only candidate.
    const size_t digits = s.digits.size();
    if (digits > 1) {
        char shorter[64];
        std::snprintf(shorter, sizeof shorter, "%.*e", static_cast<int>(digits) - 2, v);
        ASSERT(!round_trips(shorter, v), v, text);
    }
}

void check_known() {
    struct Known {
        double v;
        const char* text;
    };
    static const Known known[] = {
        {1.0, "1.0"}, {3.25, "3.25"}, {0.00001, "0.00001"}, {1e-6, "1e-6"}, {1e16, "1e+16"},
        {-0.0, "-0.0"}, {0.0, "0.0"}, {0.1, "0.1"}, {100.0, "100.0"}, {1e15, "1000000000000000.0"},
        {1.5e-7, "1.5e-7"}, {0.5, "0.5"}, {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"}, {18446744073709551616.0, "1.8446744073709552e+19"},
        {-9223372036854775808.0, "-9.223372036854776e+18"}, {123456.789, "123456.789"},
        {1e21, "1e+21"}, {1.2345e-5, "0.000012345"}, {9999999999999998.0, "9999999999999998.0"},
    };
    for (const Known& k : known) {
        char out[kFloatBufferSize];
        const size_t n = format_float(k.v, out);
        const std::string text(out, n);
        if (text != k.text) fail(k.text, k.v, text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool known_ok = (check_known(), true);
    (void)known_ok;
    // At most 32 values per input: many short inputs explore more than a few long ones.
    for (size_t i = 0; i + 8 <= size && i < 256; i += 8) {
        double v;
        std::memcpy(&v, data + i, 8);
        if (!std::isfinite(v)) continue;
        check(v);
        // Neighbours: the digit-count boundaries sit between adjacent doubles.
        check(std::nextafter(v, INFINITY));
        check(std::nextafter(v, -INFINITY));
    }
    // A short tail: small integers and decimal-ish values reach the fixed layouts often.
    if (size % 8 != 0) {
        int64_t k = 0;
        for (size_t i = size - size % 8; i < size; ++i) k = k * 256 + data[i];
        check(static_cast<double>(k));
        check(static_cast<double>(k) / 1000.0);
        check(static_cast<double>(k) * 1e-9);
        check(static_cast<double>(k) * 1e13);
    }
    return 0;
}
