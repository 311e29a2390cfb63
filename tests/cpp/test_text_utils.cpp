#include <string>
#include <string_view>

#include "check.h"
#include "request/text_utils.h"
#include "text/utf8_valid.h"

using namespace calvenor::request;
using calvenor::text::utf8_valid;

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
        CHECK_EQ(utf8_valid(c.in), c.valid);
        std::string scratch;
        CHECK_EQ(lossy_utf8(c.in, scratch), std::string_view(c.out));
    }
}
