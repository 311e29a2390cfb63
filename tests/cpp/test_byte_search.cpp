#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "request/byte_search.h"

using calvenor::request::ByteSearcher;
using calvenor::request::find_blank_line;

namespace {

// Leftmost non-overlapping occurrences, the slow and obvious way.
std::vector<size_t> naive_all(std::string_view hay, std::string_view needle) {
    std::vector<size_t> found;
    for (size_t at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + needle.size()))
        found.push_back(at);
    return found;
}

std::vector<size_t> searcher_all(std::string_view hay, std::string_view needle) {
    std::vector<size_t> found;
    ByteSearcher searcher(needle);
    for (size_t at = searcher.find(hay, 0); at != ByteSearcher::npos; at = searcher.find(hay, at + needle.size()))
        found.push_back(at);
    return found;
}

std::string repeat(std::string_view s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

}  // namespace

TEST(byte_search_agrees_with_naive_search) {
    struct Case {
        std::string hay;
        std::string needle;
    };
    const std::string near = "--" + repeat("-", 40) + "b" + repeat("-", 40);
    const std::string near_a = "--" + repeat("a", 40) + "b" + repeat("a", 40);
    const Case cases[] = {
        {"", "--"},
        {"---", "--"},
        {repeat("-", 10001), "--"},
        // Built to make every anchor hit a long near miss, which forces the KMP switch;
        // matches placed before and after the switch must still be found.
        {"--" + near + repeat("-", 30000) + near + "x" + near + repeat("-", 500), near},
        {near_a + repeat("a", 30000) + near_a + "-" + near_a + repeat("a", 900) + "--" + near_a, near_a},
        {repeat("--aaaa", 20000) + "--aaab", "--aaab"},
        {repeat("ab", 50000) + "abba" + repeat("ab", 10) + "abba", "abba"},
    };
    for (const auto& c : cases) {
        const auto expected = naive_all(c.hay, c.needle);
        CHECK(searcher_all(c.hay, c.needle) == expected);
    }
}

TEST(byte_search_blank_line) {
    CHECK_EQ(find_blank_line("a\r\n\r\nb"), 1u);
    CHECK_EQ(find_blank_line("\r\n\r\n"), 0u);
    CHECK_EQ(find_blank_line("\r\n\r\r\n\r\n"), 3u);
    CHECK_EQ(find_blank_line("\n\r\n\r\n"), 1u);
    CHECK_EQ(find_blank_line("\r\n\n\r\n"), std::string_view::npos);
    CHECK_EQ(find_blank_line("\r\n\r"), std::string_view::npos);
    CHECK_EQ(find_blank_line(repeat("\n", 1000) + repeat("\r", 1000) + "\r\n\r\n"), 2000u);
}

// A range may end past the last start at which the needle fits; no kernel may then read
// beyond the text. The text sits in a buffer of its exact size so that AddressSanitizer
// sees any over-read, and the needle's filter bytes are its last ones, the worst case.
TEST(byte_search_range_past_the_end_stays_inside_the_text) {
    using calvenor::request::SearchKernel;
    const std::string needle = "--B0undary";
    const std::string body = repeat("ab-cd\r\nef", 300);
    const SearchKernel chosen = calvenor::request::search_kernel();
    for (const bool at_end : {false, true}) {
        const std::string text = body + (at_end ? needle : "");
        const size_t n = text.size(), last = n - needle.size();
        const std::unique_ptr<char[]> exact(new char[n]);
        std::memcpy(exact.get(), text.data(), n);
        const std::string_view hay(exact.get(), n);
        const size_t expected = at_end ? last : ByteSearcher::npos;
        for (const SearchKernel kernel : {SearchKernel::scalar, SearchKernel::avx2, SearchKernel::avx512}) {
            if (!calvenor::request::use_search_kernel(kernel)) continue;
            for (const size_t from : {size_t{0}, size_t{1}, last - 70, last}) {
                std::string copy(n, '\0');
                CHECK_EQ(ByteSearcher(needle).find(hay, from, n - 1), expected);
                CHECK_EQ(ByteSearcher(needle).find_copying(hay, from, n - 1, copy.data()), expected);
                if (!at_end) CHECK(copy.compare(0, last + 1 - from, text, from, last + 1 - from) == 0);
            }
        }
    }
    calvenor::request::use_search_kernel(chosen);
}
