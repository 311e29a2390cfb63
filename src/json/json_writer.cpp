#include "json/json_writer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace calvenor::json {

namespace {

// 0: copy as is; 'u': \u00XX; anything else: backslash and that letter; 'h': the HTML-safe
// \u00XX form of < > &.
constexpr auto kEscape = [] {
    struct Table {
        char v[256];
    } t{};
    for (int c = 0; c < 0x20; ++c) t.v[c] = 'u';
    t.v['\b'] = 'b';
    t.v['\t'] = 't';
    t.v['\n'] = 'n';
    t.v['\f'] = 'f';
    t.v['\r'] = 'r';
    t.v['"'] = '"';
    t.v['\\'] = '\\';
    t.v['<'] = 'u';
    t.v['>'] = 'u';
    t.v['&'] = 'u';
    return t;
}();

constexpr char kHex[] = "0123456789abcdef";

#if defined(__SSE2__)
// Bytes of `v` that need escaping, as a bit mask.
inline unsigned escape_mask(__m128i v) {
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), lt = _mm_set1_epi8('<'),
                  gt = _mm_set1_epi8('>'), amp = _mm_set1_epi8('&'), ctl = _mm_set1_epi8(0x1F);
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                               _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt)),
                                            _mm_cmpeq_epi8(v, amp)));
    // v <= 0x1F (unsigned) exactly when max(v, 0x1F) == 0x1F
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_max_epu8(v, ctl), ctl));
    return (unsigned)_mm_movemask_epi8(hit);
}
#endif

// Whether 16 bytes from `s` can be read without leaving its memory page. Bytes past the
// string's end are read but masked off; a copy to the stack would stall the load instead.
inline bool block_readable(const unsigned char* s) {
#if defined(__SANITIZE_ADDRESS__)
    (void)s;
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    (void)s;
    return false;
#else
    return ((uintptr_t)s & 4095) <= 4096 - 16;
#endif
#else
    return ((uintptr_t)s & 4095) <= 4096 - 16;
#endif
}

// Copies the leading run of bytes that need no escaping from [s, end) to p, advancing both.
// Writes whole 16-byte blocks, so the output needs 16 bytes of slack past the run.
inline void copy_plain(const unsigned char*& s, const unsigned char* end, char*& p) {
#if defined(__SSE2__)
    while (end - s >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
        if (unsigned mask = escape_mask(v)) {
            unsigned i = (unsigned)__builtin_ctz(mask);
            s += i;
            p += i;
            return;
        }
        s += 16;
        p += 16;
    }
    if (s < end) {
        size_t rem = (size_t)(end - s);
        __m128i v;
        if (block_readable(s)) {
            v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        } else {
            alignas(16) unsigned char tmp[16];
            std::memcpy(tmp, s, rem);
            v = _mm_load_si128(reinterpret_cast<const __m128i*>(tmp));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
        unsigned mask = escape_mask(v) & ((1u << rem) - 1);
        size_t i = mask ? (size_t)__builtin_ctz(mask) : rem;
        s += i;
        p += i;
    }
#else
    while (s < end && kEscape.v[*s] == 0) *p++ = (char)*s++;
#endif
}

}  // namespace

void OutBuffer::grow(size_t n) {
    size_t want = std::max({cap_ * 2, len_ + n, size_t(8)});
    char* p = static_cast<char*>(std::realloc(data_, want));
    if (p == nullptr) throw std::bad_alloc();
    data_ = p;
    cap_ = want;
}

void write_string(OutBuffer& out, std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = s + text.size();
    out.reserve(text.size() + 2 + 16);
    char* p = out.cursor();
    *p++ = '"';
    for (;;) {
        copy_plain(s, end, p);
        if (s == end) break;
        unsigned char c = *s++;
        out.commit(p);
        out.reserve((size_t)(end - s) + 6 + 1 + 16);
        p = out.cursor();
        p[0] = '\\';
        char e = kEscape.v[c];
        if (e == 'u') {
            p[1] = 'u';
            p[2] = '0';
            p[3] = '0';
            p[4] = kHex[c >> 4];
            p[5] = kHex[c & 15];
            p += 6;
        } else {
            p[1] = e;
            p += 2;
        }
    }
    *p++ = '"';
    out.commit(p);
}

namespace {

constexpr auto kDigitPairs = [] {
    struct Table {
        char v[200];
    } t{};
    for (int i = 0; i < 100; ++i) {
        t.v[2 * i] = (char)('0' + i / 10);
        t.v[2 * i + 1] = (char)('0' + i % 10);
    }
    return t;
}();

inline int decimal_digits(uint64_t v) {
    int n = 1;
    for (;;) {
        if (v < 10) return n;
        if (v < 100) return n + 1;
        if (v < 1000) return n + 2;
        if (v < 10000) return n + 3;
        v /= 10000;
        n += 4;
    }
}

// Writes the digits of `v` at `p`, two at a time from the back; returns the end.
inline char* put_uint(char* p, uint64_t v) {
    int n = decimal_digits(v);
    char* end = p + n;
    char* q = end;
    while (v >= 100) {
        unsigned pair = (unsigned)(v % 100);
        v /= 100;
        q -= 2;
        std::memcpy(q, kDigitPairs.v + 2 * pair, 2);
    }
    if (v >= 10) {
        std::memcpy(q - 2, kDigitPairs.v + 2 * v, 2);
    } else {
        q[-1] = (char)('0' + v);
    }
    return end;
}

}  // namespace

void write_int(OutBuffer& out, int64_t v) {
    out.reserve(20);
    char* p = out.cursor();
    uint64_t mag = (uint64_t)v;
    if (v < 0) {
        *p++ = '-';
        mag = 0 - mag;
    }
    out.commit(put_uint(p, mag));
}

void write_uint(OutBuffer& out, uint64_t v) {
    out.reserve(20);
    out.commit(put_uint(out.cursor(), v));
}

}  // namespace calvenor::json
