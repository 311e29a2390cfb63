// The digits and layout behind format_float, inline for the encoder's loop over floats.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "json/decimal_digits.h"
#include "json/float_pow10_table.h"

namespace calvenor::json {

namespace detail {

// Fixed-point logs; gen_pow10_table.py checks them exactly over |q| < 1100, |e| < 400.
inline int floor_log10_pow2(int q) { return (q * 315653) >> 20; }
inline int floor_log10_three_quarters_pow2(int q) { return (q * 315653 - 131237) >> 20; }
inline int floor_log2_pow10(int e) { return (e * 1741647) >> 19; }

// floor(g * cp / 2^128), with the lowest bit set when the product is not an integer
// (round to odd). Tiny fractions count as exact; the Schubfach analysis shows a true
// fraction never gets that small.
inline uint64_t round_to_odd(const detail::Pow10Entry& g, uint64_t cp) {
    using u128 = unsigned __int128;
    const uint64_t x1 = (uint64_t)(((u128)g.lo * cp) >> 64);
    const u128 y = (u128)g.hi * cp;
    uint64_t z;  // y0 + x1, its carry into the top word
    const bool carry = __builtin_add_overflow((uint64_t)y, x1, &z);
    return ((uint64_t)(y >> 64) + carry) | (uint64_t)(z > 1);
}

struct Decimal {
    uint64_t digits;  // < 10^17, may end in zeros
    int exp;          // value = digits * 10^exp
};

// Shortest, then nearest (ties to even digit) decimal in the rounding interval of
// c * 2^q, by Schubfach (R. Giulietti): scale the interval ends by 10^-k with one
// 128-bit multiply each, then pick from 10^(k+1) and 10^k multiples.
template <bool subnormal>
[[gnu::always_inline]] inline Decimal shortest(uint64_t c, int q, bool lower_closer) {
    const uint64_t odd = c & 1;  // ends excluded: they read back to the even neighbour
    const uint64_t cb = c << 2;
    const uint64_t cbr = cb + 2;
    uint64_t cbl;
    int k;
    if (!lower_closer) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else {
        cbl = cb - 1;
        k = floor_log10_three_quarters_pow2(q);
    }
    const int h = q + floor_log2_pow10(-k) + 1;  // 1..4
    const detail::Pow10Entry& g = detail::kPow10Table[-k - detail::kPow10MinExp];
    const uint64_t vb = round_to_odd(g, cb << h);
    const uint64_t vbl = round_to_odd(g, cbl << h);
    const uint64_t vbr = round_to_odd(g, cbr << h);

    const uint64_t s = vb >> 2;
    const uint64_t lowest = vbl + odd, highest = vbr - odd;
    // The interval is narrower than 10^(k+1): at most one multiple of it fits, and
    // when one does it is the shortest. Normal values have s >= 2^52, never 0.
    const uint64_t sp10 = (s / 10) * 10;
    const uint64_t tp10 = sp10 + 10;
    const uint64_t upin = (uint64_t)(subnormal ? sp10 != 0 : true) & (uint64_t)(lowest <= sp10 << 2);
    const uint64_t wpin = (uint64_t)(tp10 << 2 <= highest);

    // Otherwise one or both of s, s+1 (multiples of 10^k) fit; take the nearer.
    const uint64_t uin = (uint64_t)(lowest <= s << 2);
    const uint64_t win = (uint64_t)((s + 1) << 2 <= highest);
    const int64_t cmp = (int64_t)(vb - ((s << 2) + 2));
    const uint64_t nearer_t = (uint64_t)(cmp > 0) | ((uint64_t)(cmp == 0) & s);
    const uint64_t nearest = s + ((uin ^ 1) | (win & nearer_t & 1));
    // Every answer is computed and one is picked by masks, with no branch: which one applies
    // varies from value to value, and a mispredicted branch would stall the next number.
    const uint64_t short_mask = 0 - (upin ^ wpin);
    const uint64_t shorter = tp10 - ((0 - upin) & 10);
    return {(shorter & short_mask) | (nearest & ~short_mask), k};
}

inline constexpr uint64_t kPow10[18] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
    100000000ull, 1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull,
    10000000000000ull, 100000000000000ull, 1000000000000000ull, 10000000000000000ull,
    100000000000000000ull};

inline int digit_count(uint64_t v) {  // v >= 1
    const int bits = 64 - std::countl_zero(v);
    const int guess = (bits * 1233) >> 12;  // floor(log10(2^bits))
    return guess + (v >= kPow10[guess]);
}

using u128 = unsigned __int128;

// Decimal text of exponents 0..324: digit bytes in order, digit count in the top byte.
inline constexpr auto kExponentText = [] {
    struct Table {
        uint32_t v[325];
        constexpr uint32_t operator[](int i) const { return v[i]; }
    } t{};
    for (uint32_t e = 0; e < 325; ++e) {
        if (e >= 100)
            t.v[e] = (3u << 24) | ('0' + e / 100) | (('0' + e / 10 % 10) << 8) | (('0' + e % 10) << 16);
        else if (e >= 10)
            t.v[e] = (2u << 24) | ('0' + e / 10) | (('0' + e % 10) << 8);
        else
            t.v[e] = (1u << 24) | ('0' + e);
    }
    return t;
}();

template <class T>
inline void store(char* dst, T v) {
    std::memcpy(dst, &v, sizeof v);
}

// The text of f17 (exactly 17 digits, d1 first) times 10^(e10 - 16), sign first if negative.
[[gnu::always_inline]] inline size_t layout(uint64_t f17, int e10, bool negative, char* out) {
    const uint32_t hi9 = (uint32_t)(f17 / 100000000);
    const uint32_t lo8 = (uint32_t)(f17 - (uint64_t)hi9 * 100000000);
    const uint32_t first = hi9 / 100000000;

    // d1 as a char, d2..d17 as 16 ASCII bytes in a register, and n, the count of digits up
    // to the last nonzero one.
    const char d1 = (char)('0' + first);
#if defined(__SSE2__)
    const __m128i digits = sixteen_digits(hi9 - first * 100000000, lo8);
    const unsigned nonzero = ~(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_setzero_si128())) & 0xFFFF;
    const int n = nonzero != 0 ? 33 - std::countl_zero(nonzero) : 1;
    const __m128i rest = _mm_or_si128(digits, _mm_set1_epi8('0'));
#else
    const uint64_t w1 = eight_digits(hi9 - first * 100000000);
    const uint64_t w2 = eight_digits(lo8);
    const int n = w2 != 0 ? 17 - std::countl_zero(w2) / 8
                          : (w1 != 0 ? 9 - std::countl_zero(w1) / 8 : 1);
    const u128 rest = (u128)(w1 | kAsciiZeros) | ((u128)(w2 | kAsciiZeros) << 64);
#endif

    // Whole 16-byte stores of the digits; what lands past the end is scratch.
    char* p = out;
    *p = '-';
    p += negative;
    if (e10 >= 16 || e10 <= -6) {
        p[0] = d1;
        p[1] = '.';
        store(p + 2, rest);
        p += n >= 2 ? n + 1 : 1;
        const int e = e10 < 0 ? -e10 : e10;
        const uint64_t text = kExponentText[e];
        store(p, (uint64_t)'e' | (uint64_t)(e10 < 0 ? '-' : '+') << 8 | (text & 0xFFFFFF) << 16);
        p += 2 + (int)(text >> 24);
    } else if (e10 >= 0) {
        const int int_digits = e10 + 1;  // 1..16
        p[0] = d1;
        store(p + 1, rest);  // zero padding of an integral value comes with `rest`
        if (n <= int_digits) {
            p += int_digits;
            store(p, (uint16_t)('.' | '0' << 8));
            p += 2;
        } else {
            // The digits after d(int_digits) move one place right for the point: one 16-byte
            // load and store, fewer steps than shifting them in registers.
            std::memmove(p + int_digits + 1, p + int_digits, 16);
            p[int_digits] = '.';
            p += n + 1;
        }
    } else {
        const int zeros = -e10 - 1;  // 0..4
        store(p, (uint64_t)0x3030303030302E30ull);  // "0.000000"
        p += 2 + zeros;
        p[0] = d1;
        store(p + 1, rest);
        p += n;
    }
    return (size_t)(p - out);
}


// f17: the digits scaled to exactly 17 places, so d1 sits at a fixed place and zeros mark
// the end; e10: the decimal exponent of d1. Zero is f17 = 0, e10 = 0, which lays out as 0.0.
struct Scaled {
    uint64_t f17;
    int e10;
};

[[gnu::always_inline]] inline Scaled scaled_digits(uint64_t bits) {
    const uint64_t frac = bits & ((uint64_t(1) << 52) - 1);
    const int biased = (int)((bits >> 52) & 0x7FF);
    if (biased != 0) {
        const uint64_t c = frac | (uint64_t(1) << 52);
        const int q = biased - 1075;
        if (q < 0 && q > -53 && (c & ((uint64_t(1) << -q) - 1)) == 0) {
            // Integers below 2^53 are their own shortest form.
            const uint64_t v = c >> -q;
            const int n0 = digit_count(v);
            return {v * kPow10[17 - n0], n0 - 1};
        }
        // c * 2^q / 10^k lies in [c, 10c), so the digits are 16 or 17 long: a select
        // instead of counting them keeps the dependency chain short.
        const Decimal dec = shortest<false>(c, q, frac == 0 && biased > 1);
        const uint64_t sixteen = dec.digits < kPow10[16];
        return {dec.digits + ((dec.digits * 9) & (0 - sixteen)), dec.exp + 16 - (int)sixteen};
    }
    if (frac != 0) {
        const Decimal dec = shortest<true>(frac, -1074, false);
        const int n0 = digit_count(dec.digits);
        return {dec.digits * kPow10[17 - n0], dec.exp + n0 - 1};
    }
    return {0, 0};
}

}  // namespace detail

// format_float, for callers that write many floats in a loop.
[[gnu::always_inline]] inline size_t format_float_inline(double value, char* out) {
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const detail::Scaled d = detail::scaled_digits(bits);
    return detail::layout(d.f17, d.e10, (bits >> 63) != 0, out);
}

}  // namespace calvenor::json
