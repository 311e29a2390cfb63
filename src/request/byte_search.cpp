#include "request/byte_search.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CALVENOR_PAIR_AVX2 1
#endif

namespace calvenor::request {
namespace {

// How often a byte is expected in form bodies and boundaries; lower is rarer.
int commonness(unsigned char c) noexcept {
    switch (c) {
        case '-':
            return 5;
        case '\r':
        case '\n':
            return 4;
        case ' ':
        case 0x00:
            return 3;
        case 0xFF:
        case '=':
            return 2;
        default:
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ? 0 : 1;
    }
}

// Number of leading bytes that a and b have in common, up to n.
size_t common_prefix(const char* a, const char* b, size_t n) noexcept {
    size_t k = 0;
    while (k + 8 <= n) {
        std::uint64_t x, y;
        std::memcpy(&x, a + k, 8);
        std::memcpy(&y, b + k, 8);
        if (x != y) break;
        k += 8;
    }
    while (k < n && a[k] == b[k]) ++k;
    return k;
}

// Fixed cost charged per rejected candidate (the memchr restart and the compare call).
constexpr std::uint64_t kCandidateCost = 16;
// Work allowed before the ratio test applies, so short bodies never switch.
constexpr std::uint64_t kFreeWork = 4096;

// Smallest s in [start, last_start] with hay[s + i1] == b1 and hay[s + i2] == b2, or npos.
// Requiring two needle bytes makes false candidates rare on arbitrary data.
size_t pair_candidate_scalar(const char* hay, size_t start, size_t last_start, size_t i1, char b1, size_t i2,
                             char b2) noexcept {
    while (start <= last_start) {
        const void* hit = std::memchr(hay + start + i1, b1, last_start - start + 1);
        if (hit == nullptr) return std::string_view::npos;
        const size_t s = static_cast<const char*>(hit) - hay - i1;
        if (hay[s + i2] == b2) return s;
        start = s + 1;
    }
    return std::string_view::npos;
}

#ifdef CALVENOR_PAIR_AVX2
__attribute__((target("avx2"))) size_t pair_candidate_avx2(const char* hay, size_t start, size_t last_start,
                                                            size_t i1, char b1, size_t i2, char b2) noexcept {
    const __m256i v1 = _mm256_set1_epi8(b1);
    const __m256i v2 = _mm256_set1_epi8(b2);
    // Every load stays inside the haystack: s + 31 <= last_start and i1, i2 < needle length.
    for (; start + 31 <= last_start; start += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + start + i1));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hay + start + i2));
        const auto mask = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(x, v1), _mm256_cmpeq_epi8(y, v2))));
        if (mask != 0) return start + static_cast<size_t>(__builtin_ctz(mask));
    }
    return pair_candidate_scalar(hay, start, last_start, i1, b1, i2, b2);
}

// 128 bytes a round with the second compare masked by the first: half the instructions
// of the AVX2 loop, which decides the speed when the data is in cache.
__attribute__((target("avx512f,avx512bw"))) size_t pair_candidate_avx512(const char* hay, size_t start,
                                                                         size_t last_start, size_t i1, char b1,
                                                                         size_t i2, char b2) noexcept {
    const __m512i v1 = _mm512_set1_epi8(b1);
    const __m512i v2 = _mm512_set1_epi8(b2);
    const char* const p1 = hay + i1;
    const char* const p2 = hay + i2;
    // Every load stays inside the haystack: s + 127 <= last_start (63 in the second loop).
    for (; start + 127 <= last_start; start += 128) {
        const __mmask64 lo = _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p1 + start), v1),
                                                         _mm512_loadu_si512(p2 + start), v2);
        const __mmask64 hi =
            _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p1 + start + 64), v1),
                                        _mm512_loadu_si512(p2 + start + 64), v2);
        if ((lo | hi) != 0) {
            return lo != 0 ? start + static_cast<size_t>(__builtin_ctzll(lo))
                           : start + 64 + static_cast<size_t>(__builtin_ctzll(hi));
        }
    }
    for (; start + 63 <= last_start; start += 64) {
        const __mmask64 mask = _mm512_mask_cmpeq_epi8_mask(
            _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p1 + start), v1), _mm512_loadu_si512(p2 + start), v2);
        if (mask != 0) return start + static_cast<size_t>(__builtin_ctzll(mask));
    }
    return pair_candidate_avx2(hay, start, last_start, i1, b1, i2, b2);
}

// The same search, storing every 64-byte block it passes over at out[s - start] first, so
// that data is read once when it is also being copied. On return of a candidate c, bytes
// up to c are stored; on npos, all of [start, last_start].
__attribute__((target("avx512f,avx512bw"))) size_t pair_candidate_copy_avx512(const char* hay, size_t start,
                                                                              size_t last_start, size_t i1,
                                                                              char b1, size_t i2, char b2,
                                                                              char* out) noexcept {
    const __m512i v1 = _mm512_set1_epi8(b1);
    const __m512i v2 = _mm512_set1_epi8(b2);
    const char* const p1 = hay + i1;
    const char* const p2 = hay + i2;
    const size_t base = start;
    if (start + 63 <= last_start) {
        // One unaligned block, then blocks whose stores each fill one whole cache line.
        _mm512_storeu_si512(out, _mm512_loadu_si512(hay + start));
        const __mmask64 mask = _mm512_mask_cmpeq_epi8_mask(
            _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p1 + start), v1), _mm512_loadu_si512(p2 + start), v2);
        if (mask != 0) return start + static_cast<size_t>(__builtin_ctzll(mask));
        start += 64 - (reinterpret_cast<std::uintptr_t>(out) & 63);
    }
    for (; start + 63 <= last_start; start += 64) {
        _mm_prefetch(hay + start + 1024, _MM_HINT_T0);  // measured: helps the stream from L3
        _mm512_store_si512(out + (start - base), _mm512_loadu_si512(hay + start));
        const __mmask64 mask = _mm512_mask_cmpeq_epi8_mask(
            _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p1 + start), v1), _mm512_loadu_si512(p2 + start), v2);
        if (mask != 0) return start + static_cast<size_t>(__builtin_ctzll(mask));
    }
    if (start <= last_start) std::memcpy(out + (start - base), hay + start, last_start + 1 - start);
    return pair_candidate_scalar(hay, start, last_start, i1, b1, i2, b2);
}

#endif

// Smallest candidate start in [start, last_start] by the given filter, or npos.
size_t pair_candidate(SearchKernel kernel, const char* hay, size_t start, size_t last_start, size_t i1, char b1,
                      size_t i2, char b2) noexcept {
#ifdef CALVENOR_PAIR_AVX2
    if (kernel == SearchKernel::avx512) return pair_candidate_avx512(hay, start, last_start, i1, b1, i2, b2);
    if (kernel == SearchKernel::avx2) return pair_candidate_avx2(hay, start, last_start, i1, b1, i2, b2);
#else
    (void)kernel;
#endif
    return pair_candidate_scalar(hay, start, last_start, i1, b1, i2, b2);
}

// Test builds of the module name their kernel at compile time, since the module itself
// takes no options.
#if defined(CALVENOR_FORCE_SEARCH_KERNEL)
#define CALVENOR_KERNEL_NAME_(k) #k
#define CALVENOR_KERNEL_NAME(k) CALVENOR_KERNEL_NAME_(k)
SearchKernel initial_kernel() noexcept {
    constexpr std::string_view forced = CALVENOR_KERNEL_NAME(CALVENOR_FORCE_SEARCH_KERNEL);
    static_assert(forced == "scalar" || forced == "avx2" || forced == "avx512",
                  "CALVENOR_FORCE_SEARCH_KERNEL must be scalar, avx2 or avx512");
    return forced == "avx512" ? SearchKernel::avx512 : forced == "avx2" ? SearchKernel::avx2 : SearchKernel::scalar;
}
#else
SearchKernel initial_kernel() noexcept {
    return search_kernel_supported(SearchKernel::avx512) ? SearchKernel::avx512
           : search_kernel_supported(SearchKernel::avx2) ? SearchKernel::avx2
                                                         : SearchKernel::scalar;
}
#endif

SearchKernel& active_kernel() noexcept {
    static SearchKernel kernel = initial_kernel();
    return kernel;
}

}  // namespace

bool search_kernel_supported(SearchKernel kernel) noexcept {
    switch (kernel) {
        case SearchKernel::scalar:
            return true;
#ifdef CALVENOR_PAIR_AVX2
        case SearchKernel::avx2:
            return __builtin_cpu_supports("avx2");
        case SearchKernel::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#endif
        default:
            return false;
    }
}

bool use_search_kernel(SearchKernel kernel) noexcept {
    if (!search_kernel_supported(kernel)) return false;
    active_kernel() = kernel;
    return true;
}

SearchKernel search_kernel() noexcept { return active_kernel(); }

const char* search_kernel_name(SearchKernel kernel) noexcept {
    switch (kernel) {
        case SearchKernel::avx2:
            return "avx2";
        case SearchKernel::avx512:
            return "avx512";
        default:
            return "scalar";
    }
}

ByteSearcher::ByteSearcher(std::string_view needle) noexcept
    : needle_(needle), kernel_(active_kernel()), anchor_(0) {
    // Prefer the rarest byte; among equals the last one, since delimiters start with "--".
    for (size_t i = 0; i < needle_.size(); ++i) {
        const auto c = static_cast<unsigned char>(needle_[i]);
        if (commonness(c) <= commonness(static_cast<unsigned char>(needle_[anchor_]))) anchor_ = i;
    }
    anchor_byte_ = needle_.empty() ? 0 : static_cast<unsigned char>(needle_[anchor_]);
    // The second filter byte: the rarest other position, preferring a different value.
    second_ = anchor_;
    int best = 1 << 20;
    for (size_t i = 0; i < needle_.size(); ++i) {
        if (i == anchor_) continue;
        const auto c = static_cast<unsigned char>(needle_[i]);
        const int score = commonness(c) * 2 + (c == anchor_byte_ ? 16 : 0);
        if (score <= best) {
            best = score;
            second_ = i;
        }
    }
}

size_t ByteSearcher::find(std::string_view haystack, size_t from) {
    const size_t m = needle_.size();
    const size_t n = haystack.size();
    if (m == 0) return from <= n ? from : npos;
    if (from > n || n - from < m) return npos;
    return find(haystack, from, n - m);
}

bool ByteSearcher::clamp(std::string_view haystack, size_t from, size_t& last_start) const noexcept {
    const size_t m = needle_.size();
    const size_t n = haystack.size();
    if (from > n || n - from < m) return false;
    last_start = std::min(last_start, n - m);
    return from <= last_start;
}

size_t ByteSearcher::find(std::string_view haystack, size_t from, size_t last_start) {
    if (needle_.empty()) return from <= haystack.size() && from <= last_start ? from : npos;
    if (!clamp(haystack, from, last_start)) return npos;
    if (linear_) return find_with_kmp(haystack, from, last_start);
    return scan(haystack, from, last_start, nullptr);
}

size_t ByteSearcher::find_copying(std::string_view haystack, size_t from, size_t last_start, char* out) {
    if (needle_.empty()) return find(haystack, from, last_start);
    if (!clamp(haystack, from, last_start)) return npos;
#ifdef CALVENOR_PAIR_AVX2
    if (!linear_ && kernel_ == SearchKernel::avx512) return scan(haystack, from, last_start, out);
#endif
    // Chunks small enough to be copied from the first-level cache right after the search;
    // at least the needle length so that restarted linear searches stay linear.
    const size_t chunk = std::max<size_t>(8192, needle_.size());
    for (size_t a = from; a <= last_start;) {
        const size_t b = last_start - a < chunk ? last_start : a + chunk - 1;
        const size_t at = find(haystack, a, b);
        if (at != npos) return at;
        std::memcpy(out + (a - from), haystack.data() + a, b + 1 - a);
        a = b + 1;
    }
    return npos;
}

size_t ByteSearcher::scan(std::string_view haystack, size_t from, size_t last_start, char* out) {
    const size_t m = needle_.size();
    const char* const hay = haystack.data();
    const char b1 = static_cast<char>(anchor_byte_);
    const char b2 = needle_[second_];
    size_t start = from;  // smallest start not yet ruled out
    while (start <= last_start) {
#ifdef CALVENOR_PAIR_AVX2
        const size_t candidate =
            out != nullptr
                ? pair_candidate_copy_avx512(hay, start, last_start, anchor_, b1, second_, b2, out + (start - from))
                : pair_candidate(kernel_, hay, start, last_start, anchor_, b1, second_, b2);
#else
        const size_t candidate = pair_candidate(kernel_, hay, start, last_start, anchor_, b1, second_, b2);
#endif
        if (candidate == npos) break;
        const size_t same = common_prefix(hay + candidate, needle_.data(), m);
        if (same == m) {
            scanned_ += candidate + m - from;
            return candidate;
        }
        wasted_ += kCandidateCost + same;
        start = candidate + 1;
        if (wasted_ > kFreeWork && wasted_ > 2 * (scanned_ + start - from)) {
            scanned_ += start - from;
            linear_ = true;
            const size_t at = find_with_kmp(haystack, start, last_start);
            if (at == npos && out != nullptr) std::memcpy(out + (start - from), hay + start, last_start + 1 - start);
            return at;
        }
    }
    scanned_ += last_start + 1 - from;
    return npos;
}

size_t ByteSearcher::find_with_kmp(std::string_view haystack, size_t from, size_t last_start) {
    const size_t m = needle_.size();
    const char* const p = needle_.data();
    if (failure_.empty()) {
        // failure_[i]: length of the longest proper border of needle[0..i].
        failure_.assign(m, 0);
        std::uint32_t k = 0;
        for (size_t i = 1; i < m; ++i) {
            while (k > 0 && p[i] != p[k]) k = failure_[k - 1];
            if (p[i] == p[k]) ++k;
            failure_[i] = k;
        }
    }
    size_t matched = 0;
    const size_t stop = last_start + m;  // <= haystack.size()
    for (size_t i = from; i < stop; ++i) {
        const char c = haystack[i];
        while (matched > 0 && c != p[matched]) matched = failure_[matched - 1];
        if (c == p[matched]) ++matched;
        if (matched == m) return i + 1 - m;
    }
    return npos;
}

size_t find_blank_line(std::string_view bytes) noexcept {
    const char* const s = bytes.data();
    const size_t n = bytes.size();
    if (n < 4) return std::string_view::npos;
    // Look for the first LF of the pattern; it sits at index >= 1 and needs two bytes after.
    size_t i = 1;
    while (i + 2 < n) {
        const void* hit = std::memchr(s + i, '\n', n - 2 - i);
        if (hit == nullptr) break;
        const size_t j = static_cast<const char*>(hit) - s;
        if (s[j - 1] == '\r' && s[j + 1] == '\r' && s[j + 2] == '\n') return j - 1;
        i = j + 1;
    }
    return std::string_view::npos;
}

}  // namespace calvenor::request
