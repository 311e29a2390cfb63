#include <string>
#include <string_view>

#include "check.h"
#include "request/text_utils.h"

using namespace calvenor::request;

namespace {

std::string lossy(std::string_view in) {
    std::string out = "x";
    append_lossy_utf8(out, in);
    return out.substr(1);
}

constexpr const char* R = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

TEST(text_lossy_utf8_matches_maximal_subpart_replacement) {
    struct Case {
        std::string in;
        std::string out;
        bool valid;
    };
    const std::string r = R;
    const Case cases[] = {
        {"", "", true},
        {"plain ascii text, long enough for the word loop", "plain ascii text, long enough for the word loop", true},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
        {"\xE2\x82", r, false},
        {"\xE2\x82x", r + "x", false},
        {"\xE0\x80\x80", r + r + r, false},
        {"\xED\xA0\x80", r + r + r, false},
        {"\xF0\x9F\x98", r, false},
        {"\xF4\x90\x80\x80", r + r + r + r, false},
        {"\xC0\xAF", r + r, false},
        {"\xF0\x80", r + r, false},
        {"\xFF", r, false},
        {"a\xF1\x80\x80\xE1\x80\xC2", "a" + r + r + r, false},
        {"x-\xFF", "x-" + r, false},
        {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", true},
    };
    for (const auto& c : cases) {
        CHECK_EQ(lossy(c.in), c.out);
        CHECK_EQ(is_valid_utf8(c.in), c.valid);
        std::string scratch;
        CHECK_EQ(lossy_utf8(c.in, scratch), std::string_view(c.out));
    }
}

TEST(text_trim_uses_exactly_white_space) {
    const char* const white[] = {"\t", "\n", "\x0B", "\x0C", "\r", " ", "\xC2\x85", "\xC2\xA0",
                                 "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A",
                                 "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
                                 "\xE3\x80\x80"};
    for (const char* w : white) {
        const std::string s = std::string(w) + w + "a b" + w;
        CHECK_EQ(trim_unicode_ws(s), std::string_view("a b"));
    }
    // Look-alikes without the property: zero width space, Mongolian vowel separator,
    // BOM, U+0084, U+00A1, U+200B, information separators.
    const char* const other[] = {"\xE2\x80\x8B", "\xE1\xA0\x8E", "\xEF\xBB\xBF", "\xC2\x84",
                                 "\xC2\xA1",     "\xE2\x81\xA0", "\x1C",         "\x1F"};
    for (const char* o : other) {
        const std::string s = std::string(" ") + o + "a" + o + " ";
        CHECK_EQ(trim_unicode_ws(s), std::string_view(s).substr(1, s.size() - 2));
    }
    CHECK_EQ(trim_unicode_ws(" \t\xE3\x80\x80 "), std::string_view());
}

TEST(text_ascii_case) {
    std::string s = "Content-TYPE \xC3\x89\xC3\xA9 [@`{]";
    ascii_lower_in_place(s);
    CHECK_EQ(s, std::string("content-type \xC3\x89\xC3\xA9 [@`{]"));
    CHECK(ascii_iequals("Content-Disposition", "content-DISPOSITION"));
    CHECK(!ascii_iequals("\xC3\x89", "\xC3\xA9"));
    CHECK(!ascii_iequals("name", "name "));
    CHECK(!ascii_iequals("@", "`"));
}
