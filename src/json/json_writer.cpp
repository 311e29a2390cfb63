#include "json/json_writer.h"

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif


namespace calvenor::json {

namespace {

// 0: copy as is; 'u': \u00XX (control bytes, and < > & for HTML safety); anything else:
// backslash and that letter.
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
// Bytes of `v` that need escaping, as a bit mask. '<' and '>' differ only in bit 1, and '"'
// and '&' only in bit 2, so one compare each covers a pair.
inline unsigned escape_mask(__m128i v) {
    const __m128i angle = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(2)), _mm_set1_epi8('>'));
    const __m128i quote_amp = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(4)), _mm_set1_epi8('&'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    // v <= 0x1F (unsigned) exactly when max(v, 0x1F) == 0x1F
    const __m128i ctl = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
    return (unsigned)_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(angle, quote_amp), _mm_or_si128(backslash, ctl)));
}

template <class T>
inline T load(const unsigned char* s) {
    T v;
    std::memcpy(&v, s, sizeof v);
    return v;
}

template <class T>
inline void store(char* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// A string's last block is read whole when it stays on its memory page, past the string's
// end: the bytes there are masked off, and writing twitter.json's strings takes about 10% less
// time than with the tail read in pieces. Memory checkers would report that read, so builds
// under AddressSanitizer or MemorySanitizer, and runs under Valgrind, take the pieces.
#if defined(__SANITIZE_ADDRESS__)
#define CALVENOR_MEMORY_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define CALVENOR_MEMORY_CHECKED 1
#endif
#endif

#if defined(CALVENOR_MEMORY_CHECKED)
constexpr bool kMayReadPastEnd = false;
#elif __has_include(<valgrind/valgrind.h>)
bool under_valgrind() { return RUNNING_ON_VALGRIND != 0; }
const bool kMayReadPastEnd = !under_valgrind();
#else
constexpr bool kMayReadPastEnd = true;
#endif

// The last 1..15 bytes of a run, read as two overlapping pieces from the string itself (never
// past its end, never through a copy on the stack). `lo` covers the first h bytes and `hi` the
// last h; returns how many leading bytes need no escaping, having copied at least those to p.
inline size_t copy_tail(const unsigned char* s, size_t rem, char* p) {
    unsigned m_lo, m_hi;
    size_t h;
    if (rem >= 8) {
        h = 8;
        const uint64_t lo = load<uint64_t>(s), hi = load<uint64_t>(s + rem - 8);
        store(p, lo);
        store(p + rem - 8, hi);
        const unsigned m = escape_mask(_mm_set_epi64x((long long)hi, (long long)lo));
        m_lo = m & 0xFF;
        m_hi = m >> 8;
    } else if (rem >= 4) {
        h = 4;
        const uint32_t lo = load<uint32_t>(s), hi = load<uint32_t>(s + rem - 4);
        store(p, lo);
        store(p + rem - 4, hi);
        const unsigned m = escape_mask(_mm_cvtsi64_si128((long long)(lo | (uint64_t)hi << 32)));
        m_lo = m & 0xF;
        m_hi = (m >> 4) & 0xF;
    } else {
        // Bytes 0, rem/2 and rem-1 cover all of 1..3.
        const unsigned char b0 = s[0], b1 = s[rem / 2], b2 = s[rem - 1];
        p[0] = (char)b0;
        p[rem / 2] = (char)b1;
        p[rem - 1] = (char)b2;
        const unsigned m = escape_mask(_mm_cvtsi32_si128((int)(b0 | (b1 << 8) | (b2 << 16))));
        if (m & 1) return 0;
        if (m & 2) return rem / 2;
        return (m & 4) ? rem - 1 : rem;
    }
    if (m_lo) return (size_t)__builtin_ctz(m_lo);
    if (m_hi) return rem - h + (size_t)__builtin_ctz(m_hi);
    return rem;
}
#endif

// Copies the leading run of bytes that need no escaping from [s, end) to p, advancing both.
// Writes whole 16-byte blocks, so the output needs 16 bytes of slack past the run.
[[gnu::always_inline]] inline void copy_plain(const unsigned char*& s, const unsigned char* end, char*& p) {
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
        const size_t rem = (size_t)(end - s);
        size_t i;
        if (kMayReadPastEnd && ((uintptr_t)s & 4095) <= 4096 - 16) {
            // 16 bytes from s stay on its memory page: load them whole, mask off the rest.
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
            const unsigned mask = escape_mask(v) & ((1u << rem) - 1);
            i = mask ? (size_t)__builtin_ctz(mask) : rem;
        } else {
            i = copy_tail(s, rem, p);
        }
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

namespace {

// `lead` (if not 0), the quoted, escaped text, then `trail` (if not 0).
[[gnu::always_inline]] inline void write_quoted(OutBuffer& out, char lead, std::string_view text, char trail) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = s + text.size();
    // Room for lead, quotes and trail, plus the block slack of copy_plain.
    out.reserve(text.size() + 4 + 16);
    char* p = out.cursor();
    *p = lead;
    p += lead != 0;
    *p++ = '"';
    for (;;) {
        copy_plain(s, end, p);
        if (s == end) break;
        unsigned char c = *s++;
        out.commit(p);
        out.reserve((size_t)(end - s) + 6 + 2 + 16);
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
    *p = trail;
    p += trail != 0;
    out.commit(p);
}

// Most keys and many values are short and plain: one load, one check and one store, in a
// frame small enough to need no saved registers; anything else takes the general writer.
[[gnu::always_inline]] inline void write_quoted_short(OutBuffer& out, char lead, std::string_view text, char trail) {
#if defined(__SSE2__)
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    if (n < 16 && kMayReadPastEnd && ((uintptr_t)s & 4095) <= 4096 - 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        if ((escape_mask(v) & ((1u << n) - 1)) == 0) {
            out.reserve(2 + 16 + 2);  // lead, quote, the whole block; then quote and trail
            char* p = out.cursor();
            *p = lead;
            p += lead != 0;
            *p++ = '"';
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
            p += n;
            *p++ = '"';
            *p = trail;
            p += trail != 0;
            out.commit(p);
            return;
        }
    }
#endif
    write_quoted(out, lead, text, trail);
}

}  // namespace

void write_string(OutBuffer& out, std::string_view text, char lead) { write_quoted_short(out, lead, text, 0); }

void write_member_name(OutBuffer& out, char lead, std::string_view name) { write_quoted_short(out, lead, name, ':'); }

}  // namespace calvenor::json
