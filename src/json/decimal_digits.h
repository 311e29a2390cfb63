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

// Room put_uint needs at p: the longest number (20 digits) plus the slack of its 8-byte stores.
constexpr size_t kUintRoom = 24;

// Writes the decimal digits of v at p, with no leading zeros; returns the end.
inline char* put_uint(char* p, uint64_t v) {
    if (v < 10) {
        *p = (char)('0' + v);
        return p + 1;
    }
    if (v < 100000000) return put_up_to_eight(p, (uint32_t)v);
    if (v < 10000000000000000ull) {
        const uint64_t hi = v / 100000000;
        if (hi < 10) {  // nine digits: common for ids
            *p++ = (char)('0' + hi);
        } else {
            p = put_up_to_eight(p, (uint32_t)hi);
        }
        return put_eight(p, (uint32_t)(v - hi * 100000000));
    }
    const uint64_t top = v / 10000000000000000ull;  // 1..1844
    const uint64_t rest = v - top * 10000000000000000ull;
    const uint64_t hi = rest / 100000000;
    p = put_up_to_eight(p, (uint32_t)top);
    p = put_eight(p, (uint32_t)hi);
    return put_eight(p, (uint32_t)(rest - hi * 100000000));
}

}  // namespace calvenor::json
