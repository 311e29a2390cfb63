#include <string>
#include <vector>

#include "app/cors_policy.h"
#include "check.h"

using calvenor::CorsPolicy;
using calvenor::split_origins;
using calvenor::trim_unicode_space;

namespace {
std::vector<std::string> v(std::initializer_list<const char*> items) { return {items.begin(), items.end()}; }
}  // namespace

TEST(cors_split_keeps_empty_pieces) {
    CHECK(split_origins("") == v({""}));
    CHECK(split_origins("a") == v({"a"}));
    CHECK(split_origins("alpha,,beta") == v({"alpha", "", "beta"}));
    CHECK(split_origins("a,") == v({"a", ""}));
    CHECK(split_origins(",") == v({"", ""}));
}

TEST(cors_trim_removes_every_unicode_space_but_not_others) {
    CHECK_EQ(trim_unicode_space(" \t\n\v\f\ralpha \r"), "alpha");
    // U+0085, U+00A0, U+1680, U+2000, U+200A, U+2028, U+2029, U+202F, U+205F, U+3000
    CHECK_EQ(trim_unicode_space("\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80x y\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"
                                "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"),
             "x y");
    // Not White_Space: U+200B zero width space, U+FEFF, U+180E; and 0x1C..0x1F.
    CHECK_EQ(trim_unicode_space("\xE2\x80\x8B" "a"), "\xE2\x80\x8B" "a");
    CHECK_EQ(trim_unicode_space("a\xEF\xBB\xBF"), "a\xEF\xBB\xBF");
    CHECK_EQ(trim_unicode_space("\xE1\xA0\x8E" "a"), "\xE1\xA0\x8E" "a");
    CHECK_EQ(trim_unicode_space("\x1F" "a\x1C"), "\x1F" "a\x1C");
    // A character whose last bytes look like a space's tail is kept whole.
    CHECK_EQ(trim_unicode_space("a\xC3\x85"), "a\xC3\x85");
    CHECK_EQ(trim_unicode_space(" \xE3\x80\x80 "), "");
}

TEST(cors_policy_defaults_and_decisions) {
    CorsPolicy p;
    CHECK(!p.configured());
    CHECK(!p.allows(""));
    p.set(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    CHECK(p.configured());
    CHECK(p.wildcard);
    CHECK(p.allows("anything"));
    CHECK_EQ(*p.methods, "GET,POST,PUT,DELETE,OPTIONS,PATCH");
    CHECK_EQ(*p.headers, "*");
    CHECK_EQ(*p.max_age, "600");
    CHECK_EQ(p.allow_origin_value("x"), "*");

    p.set("alpha, beta", "GET, POST", "", "1");
    CHECK(!p.wildcard);
    CHECK(p.allows("beta") && !p.allows("Beta") && !p.allows(" beta"));
    CHECK_EQ(p.allow_origin_value("beta"), "beta");
    CHECK_EQ(*p.methods, "GET, POST");
    CHECK_EQ(*p.headers, "");

    p.set(" * ", std::nullopt, std::nullopt, std::nullopt);  // trimmed to the wildcard
    CHECK(p.wildcard);
    p.set("**", std::nullopt, std::nullopt, std::nullopt);
    CHECK(!p.wildcard && p.allows("**") && !p.allows("x"));
}
