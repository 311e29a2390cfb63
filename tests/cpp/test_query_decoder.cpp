#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.h"
#include "request/query_decoder.h"

using calvenor::request::decode_form_component;
using calvenor::request::decoded_form_component;
using calvenor::request::QueryPiece;
using calvenor::request::QuerySplitter;

namespace {

std::string decode(std::string_view in) {
    std::string out = "stale";
    decode_form_component(in, out);
    return out;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Splits and decodes, keeping every pair in order (grouping is the glue's job).
Pairs split_decoded(std::string_view qs) {
    Pairs result;
    QuerySplitter pieces(qs);
    QueryPiece piece;
    while (pieces.next(piece)) result.emplace_back(decode(piece.name), decode(piece.value));
    return result;
}

}  // namespace

TEST(query_component_decoding) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"a+b%20c", "a b c"},
        {"%2B", "+"},
        {"%2b%2F", "+/"},
        {"%41%4a%4A", "AJJ"},
        {"%zz", "%zz"},
        {"%4", "\x04"},
        {"%", "%"},
        {"%+41", "\x04" "1"},
        {"%%41", "%%41"},
        {"%-4", "%-4"},
        {"%+", "%+"},
        {"%+g", "%+g"},
        {"%4+", "%4+"},      // a taken `+` stays a plus
        {"x%7", "x\x07"},
        {"%C3%A9", "\xC3\xA9"},
        {"%E9", "\xC3\xA9"},                              // invalid UTF-8, read as Latin-1
        {"%E9%C3%A9", "\xC3\xA9\xC3\x83\xC2\xA9"},        // U+00E9 U+00C3 U+00A9
        {"\xC3\x83\xC2\xA9", "\xC3\xA9"},                 // U+00C3 U+00A9 are the bytes of é
        {"\xE2\x82\xAC", "\xE2\x82\xAC"},                 // €: its UTF-8 bytes
        {"\xC3\xA9", "\xC3\xA9"},                         // é alone: byte E9, then Latin-1
        {"%\xC3\xA9", "%\xC3\xA9"},                       // failed escape keeps UTF-8 form
        {"\xC3\xA9%\xC3\xA9", "\xC3\xA9%\xC3\x83\xC2\xA9"},
        {"%\xC3\xA9" "4", "%\xC3\xA9" "4"},               // two characters taken, not two bytes
        {"%4\xE2\x82\xAC", "%4\xE2\x82\xAC"},
        {"%E2%82%AC+x", "\xE2\x82\xAC x"},
        {"%F0%9F%98%80", "\xF0\x9F\x98\x80"},
        {"%ED%A0%80", "\xC3\xAD\xC2\xA0\xC2\x80"},        // surrogate bytes are not UTF-8
        {"%FF\xF0\x9F\x98\x80", "\xC3\xBF\xC3\xB0\xC2\x9F\xC2\x98\xC2\x80"},
    };
    for (const auto& c : cases) CHECK_EQ(decode(c.in), std::string(c.out));
    CHECK_EQ(decode("%00"), std::string(1, '\0'));
}

TEST(query_component_borrows_plain_text) {
    std::string scratch;
    const std::string_view plain = "abc=def";
    CHECK(decoded_form_component(plain, scratch).data() == plain.data());
    CHECK_EQ(decoded_form_component("a+b", scratch), std::string_view("a b"));
    CHECK_EQ(decoded_form_component("%E9", scratch), std::string_view("\xC3\xA9"));
}

TEST(query_splitting) {
    struct Case {
        const char* qs;
        Pairs pairs;
    };
    const Case cases[] = {
        {"", {}},
        {"&&&", {}},
        {"a=1&b=2&a=3", {{"a", "1"}, {"b", "2"}, {"a", "3"}}},
        {"flag&x=1", {{"x", "1"}}},
        {"flag=", {{"flag", ""}}},
        {"=v", {{"", "v"}}},
        {"=", {{"", ""}}},
        {"a=b=c", {{"a", "b=c"}}},
        {"a=1;b=2", {{"a", "1;b=2"}}},
        {"&a=1&&b=2&", {{"a", "1"}, {"b", "2"}}},
        {"a%20b=1", {{"a b", "1"}}},
        {"a%3Db=c", {{"a=b", "c"}}},
        {"x=1%262", {{"x", "1&2"}}},
        {"q=a+b%20c&k=%E9", {{"q", "a b c"}, {"k", "\xC3\xA9"}}},
    };
    for (const auto& c : cases) {
        const Pairs got = split_decoded(c.qs);
        CHECK_EQ(got.size(), c.pairs.size());
        for (size_t i = 0; i < got.size() && i < c.pairs.size(); ++i) {
            CHECK_EQ(got[i].first, c.pairs[i].first);
            CHECK_EQ(got[i].second, c.pairs[i].second);
        }
    }
}
