#include "json/json_writer.h"

#include <algorithm>
#include <charconv>

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

// Length of the leading run of bytes that need no escaping.
inline size_t plain_run(const unsigned char* s, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), lt = _mm_set1_epi8('<'),
                  gt = _mm_set1_epi8('>'), amp = _mm_set1_epi8('&'), ctl = _mm_set1_epi8(0x1F);
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                   _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt)),
                                                _mm_cmpeq_epi8(v, amp)));
        // v <= 0x1F (unsigned) exactly when max(v, 0x1F) == 0x1F
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_max_epu8(v, ctl), ctl));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0) return i + (size_t)__builtin_ctz((unsigned)mask);
    }
#endif
    while (i < n && kEscape.v[s[i]] == 0) ++i;
    return i;
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
    size_t n = text.size();
    out.reserve(n + 2);
    out.put('"');
    for (;;) {
        size_t run = plain_run(s, n);
        out.append(reinterpret_cast<const char*>(s), run);
        if (run == n) break;
        unsigned char c = s[run];
        char e = kEscape.v[c];
        out.reserve(6);
        char* p = out.cursor();
        p[0] = '\\';
        if (e == 'u') {
            p[1] = 'u';
            p[2] = '0';
            p[3] = '0';
            p[4] = kHex[c >> 4];
            p[5] = kHex[c & 15];
            out.advance(6);
        } else {
            p[1] = e;
            out.advance(2);
        }
        s += run + 1;
        n -= run + 1;
    }
    out.put('"');
}

void write_int(OutBuffer& out, int64_t v) {
    out.reserve(20);
    char* end = std::to_chars(out.cursor(), out.cursor() + 20, v).ptr;
    out.advance((size_t)(end - out.cursor()));
}

void write_uint(OutBuffer& out, uint64_t v) {
    out.reserve(20);
    char* end = std::to_chars(out.cursor(), out.cursor() + 20, v).ptr;
    out.advance((size_t)(end - out.cursor()));
}

}  // namespace calvenor::json
