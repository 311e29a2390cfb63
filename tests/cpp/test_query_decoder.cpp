#include <string>
#include <string_view>

#include "check.h"
#include "request/query_decoder.h"

using calvenor::request::decode_form_component;
using calvenor::request::decoded_form_component;

namespace {

std::string decode(std::string_view in) {
    std::string out = "stale";
    decode_form_component(in, out);
    return out;
}

}  // namespace

TEST(query_component_borrows_plain_text) {
    std::string scratch;
    const std::string_view plain = "abc=def";
    CHECK(decoded_form_component(plain, scratch).data() == plain.data());
    CHECK_EQ(decoded_form_component("a+b", scratch), std::string_view("a b"));
    CHECK_EQ(decoded_form_component("%E9", scratch), std::string_view("\xC3\xA9"));
    CHECK_EQ(decode("a%41"), std::string("aA"));  // the output buffer is replaced, not appended to
}
