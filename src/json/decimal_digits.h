// Decimal digits eight at a time in a 64-bit word (a handful of multiplies, no table and no
// loop), shared by the integer and float writers.
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace calvenor::json {

constexpr uint64_t kAsciiZeros = 0x3030303030303030ull;

// x < 10^8 as eight digit values (not yet ASCII), most significant digit in the lowest byte.
inline uint64_t eight_digits(uint32_t x) {
    uint64_t v = (x / 10000) | ((uint64_t)(x % 10000) << 32);
    const uint64_t hundreds = ((v * 10486) >> 20) & 0x0000007F0000007Full;
    v = hundreds | ((v - hundreds * 100) << 16);
    const uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000Full;
    return tens | ((v - tens * 10) << 8);
}

#if defined(__SSE2__)
// hi8 * 10^8 + lo8 (each below 10^8) as sixteen digit values, most significant first, in
// one register: both halves and all four 4-digit groups at once.
inline __m128i sixteen_digits(uint32_t hi8, uint32_t lo8) {
    const __m128i x = _mm_set_epi64x(lo8, hi8);
    const __m128i q = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32((int)0xd1b71759)), 45);  // x / 10^4
    const __m128i r = _mm_sub_epi32(x, _mm_mul_epu32(q, _mm_set1_epi32(10000)));
    // 16-bit lanes: each 4-digit group four times over, groups in order.
    __m128i v = _mm_packs_epi32(_mm_or_si128(q, _mm_slli_epi64(r, 32)), _mm_setzero_si128());
    v = _mm_unpacklo_epi16(v, v);
    // Per group abcd: abcd*4 scaled by fixed-point 1/1000, 1/100, 1/10, 1 gives a, ab, abc, abcd;
    // taking 10 times the lane before it off leaves a, b, c, d.
    const __m128i div = _mm_set_epi16(-32768, 13108, 5243, 8389, -32768, 13108, 5243, 8389);
    const __m128i shift = _mm_set_epi16(-32768, 1 << 13, 1 << 11, 1 << 7, -32768, 1 << 13, 1 << 11, 1 << 7);
    auto digits = [&](__m128i group) {
        const __m128i t = _mm_mulhi_epu16(_mm_mulhi_epu16(_mm_slli_epi16(group, 2), div), shift);
        return _mm_sub_epi16(t, _mm_slli_epi64(_mm_mullo_epi16(t, _mm_set1_epi16(10)), 16));
    };
    return _mm_packus_epi16(digits(_mm_unpacklo_epi32(v, v)), digits(_mm_unpackhi_epi32(v, v)));
}
#endif

// Writes 1 <= x < 10^8 without leading zeros at p; returns the end. Stores 8 bytes.
inline char* put_up_to_eight(char* p, uint32_t x) {
    const uint64_t w = eight_digits(x);
    const int zeros = std::countr_zero(w) / 8;
    const uint64_t text = (w | kAsciiZeros) >> (8 * zeros);
    std::memcpy(p, &text, 8);
    return p + 8 - zeros;
}

// Writes x < 10^8 as exactly eight digits at p.
inline char* put_eight(char* p, uint32_t x) {
    const uint64_t text = eight_digits(x) | kAsciiZeros;
    std::memcpy(p, &text, 8);
    return p + 8;
}

// "00" to "99".
inline constexpr auto kDigitPairs = [] {
    struct Table {
        char v[200];
    } t{};
    for (int i = 0; i < 100; ++i) {
        t.v[2 * i] = (char)('0' + i / 10);
        t.v[2 * i + 1] = (char)('0' + i % 10);
    }
    return t;
}();

inline char* put_pair(char* p, uint32_t two_digits) {
    std::memcpy(p, kDigitPairs.v + 2 * two_digits, 2);
    return p + 2;
}

// u / 10^K as a 32.32 fixed-point number, a little above the exact quotient and by less
// than 10^-K, so that the digits can be read off two at a time by multiplying the fraction
// by 100: one multiply per pair, each pair off the others' path. Holds for u < 10^(K+2)
// (checked for every such u).
template <int K>
inline uint64_t scaled_down(uint32_t u) {
    constexpr int kShift = K == 8 ? 28 : 25;
    constexpr uint64_t kPow = K == 2 ? 100 : K == 4 ? 10000 : K == 6 ? 1000000 : 100000000;
    constexpr uint64_t kMul = (uint64_t(1) << (32 + kShift)) / kPow + 1;
    return ((u * kMul) >> kShift) + 1;
}

// The K digits below the leading pair of `y` (from scaled_down<K>).
template <int K>
inline char* put_fraction_pairs(char* p, uint64_t y) {
    for (int i = 0; i < K / 2; ++i) {
        y = (uint32_t)y * uint64_t(100);
        p = put_pair(p, (uint32_t)(y >> 32));
    }
    return p;
}

// K + 1 or K + 2 digits: 10^K <= u < 10^(K+2).
template <int K>
inline char* put_digits(char* p, uint32_t u) {
    const uint64_t y = scaled_down<K>(u);
    const uint32_t lead = (uint32_t)(y >> 32);
    if (lead < 10) {
        *p++ = (char)('0' + lead);
    } else {
        p = put_pair(p, lead);
    }
    return put_fraction_pairs<K>(p, y);
}

// Writes x < 10^8 as exactly eight digits at p.
inline char* put_eight_digits(char* p, uint32_t x) {
    const uint64_t y = scaled_down<6>(x);
    return put_fraction_pairs<6>(put_pair(p, (uint32_t)(y >> 32)), y);
}

// Room put_uint needs at p: the longest number (20 digits) plus the slack of its stores.
constexpr size_t kUintRoom = 24;

inline char* put_u32(char* p, uint32_t u) {
    if (u < 100) {
        if (u < 10) {
            *p = (char)('0' + u);
            return p + 1;
        }
        return put_pair(p, u);
    }
    if (u < 10000) return put_digits<2>(p, u);
    if (u < 1000000) return put_digits<4>(p, u);
    if (u < 100000000) return put_digits<6>(p, u);
    if (u < 1000000000) return put_digits<8>(p, u);
    const uint32_t hi = u / 100000000;  // 10 to 42
    return put_eight_digits(put_pair(p, hi), u - hi * 100000000);
}

// Writes the decimal digits of v at p, with no leading zeros; returns the end.
inline char* put_uint(char* p, uint64_t v) {
    if (v <= UINT32_MAX) return put_u32(p, (uint32_t)v);
    const uint64_t hi = v / 100000000;
    const uint32_t lo = (uint32_t)(v - hi * 100000000);
    if (hi <= UINT32_MAX) return put_eight_digits(put_u32(p, (uint32_t)hi), lo);
    const uint32_t top = (uint32_t)(hi / 100000000);  // 42 to 184467
    return put_eight_digits(put_eight_digits(put_u32(p, top), (uint32_t)(hi - top * uint64_t(100000000))), lo);
}

}  // namespace calvenor::json
