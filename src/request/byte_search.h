// Substring search for untrusted haystacks: memchr speed on ordinary data, linear time
// on any input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace calvenor::request {

// The filters that locate candidates, slowest first. Searchers use the fastest one the CPU
// runs, unless the build or a test picks another.
enum class SearchKernel { scalar, avx2, avx512 };

bool search_kernel_supported(SearchKernel kernel) noexcept;
// For tests and fuzz targets: searchers made from now on use `kernel`. Returns false, and
// changes nothing, when the CPU cannot run it. Not thread-safe.
bool use_search_kernel(SearchKernel kernel) noexcept;
SearchKernel search_kernel() noexcept;
const char* search_kernel_name(SearchKernel kernel) noexcept;

// Finds leftmost occurrences of one fixed, non-empty needle. Candidates are located with
// a SIMD (or memchr) filter on two of the needle's rarer-looking bytes and verified in
// place. When verification work outgrows the bytes scanned (a haystack built to match the
// needle almost everywhere), the searcher switches for good to Knuth-Morris-Pratt, which
// is linear.
class ByteSearcher {
public:
    // `needle` must outlive the searcher.
    explicit ByteSearcher(std::string_view needle) noexcept;

    // Start of the leftmost occurrence that begins at or after `from`, or npos.
    size_t find(std::string_view haystack, size_t from);
    // The same, among starts in [from, last_start] only. A last_start beyond the last start
    // at which the needle fits (haystack.size() - needle length) means that one; the
    // haystack may go on beyond last_start + needle length. Consecutive calls over adjacent
    // ranges cost no more than one call over their union, plus one needle length each.
    size_t find(std::string_view haystack, size_t from, size_t last_start);
    // find(haystack, from, last_start) that also copies haystack[from, last_start] to `out`,
    // last_start limited as for find (contents unspecified when an occurrence is found),
    // reading the data once.
    size_t find_copying(std::string_view haystack, size_t from, size_t last_start, char* out);

    static constexpr size_t npos = std::string_view::npos;

private:
    // Limits last_start to the last start at which the needle fits; false when no start
    // in [from, last_start] is left. For a non-empty needle only.
    bool clamp(std::string_view haystack, size_t from, size_t& last_start) const noexcept;
    // Filters candidates in [from, last_start] (already clamped), verifies them and
    // switches to KMP when verification does not pay. With `out`, copies as it goes.
    size_t scan(std::string_view haystack, size_t from, size_t last_start, char* out);
    size_t find_with_kmp(std::string_view haystack, size_t from, size_t last_start);

    std::string_view needle_;
    SearchKernel kernel_;
    size_t anchor_;              // index of the needle byte handed to memchr
    unsigned char anchor_byte_;
    size_t second_;              // index of a second needle byte checked with the anchor
    std::uint64_t wasted_ = 0;   // verification work on candidates that did not match
    std::uint64_t scanned_ = 0;  // haystack bytes passed over by earlier calls
    bool linear_ = false;
    std::vector<std::uint32_t> failure_;  // KMP failure function, built on the switch
};

// Start of the first CR LF CR LF in `bytes`, or npos.
size_t find_blank_line(std::string_view bytes) noexcept;

}  // namespace calvenor::request
