#include "request/byte_search.h"

#include <cstring>

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

}  // namespace

ByteSearcher::ByteSearcher(std::string_view needle) noexcept : needle_(needle), anchor_(0) {
    // Prefer the rarest byte; among equals the last one, since delimiters start with "--".
    for (size_t i = 0; i < needle_.size(); ++i) {
        const auto c = static_cast<unsigned char>(needle_[i]);
        if (commonness(c) <= commonness(static_cast<unsigned char>(needle_[anchor_]))) anchor_ = i;
    }
    anchor_byte_ = needle_.empty() ? 0 : static_cast<unsigned char>(needle_[anchor_]);
}

size_t ByteSearcher::find(std::string_view haystack, size_t from) {
    const size_t m = needle_.size();
    const size_t n = haystack.size();
    if (m == 0) return from <= n ? from : npos;
    if (from > n || n - from < m) return npos;
    if (linear_) return find_with_kmp(haystack, from);

    const char* const hay = haystack.data();
    const size_t last_start = n - m;
    size_t start = from;  // smallest start not yet ruled out
    while (start <= last_start) {
        const void* hit = std::memchr(hay + start + anchor_, anchor_byte_, last_start - start + 1);
        if (hit == nullptr) break;
        const size_t candidate = static_cast<const char*>(hit) - hay - anchor_;
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
            return find_with_kmp(haystack, start);
        }
    }
    scanned_ += n - from;
    return npos;
}

size_t ByteSearcher::find_with_kmp(std::string_view haystack, size_t from) {
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
    for (size_t i = from; i < haystack.size(); ++i) {
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
