#include <cmath>
#include <cstring>
#include <string>

#include "check.h"
#include "json/float_format.h"

using namespace calvenor::json;

namespace {

std::string fmt(double v) {
    char out[kFloatBufferSize + 8];
    std::memset(out, 0x7f, sizeof out);
    const size_t n = format_float(v, out);
    for (size_t k = kFloatBufferSize; k < sizeof out; ++k)
        if (out[k] != 0x7f) return "<wrote past its buffer>";
    return std::string(out, n);
}

std::string ref(double v) {
    char out[kFloatBufferSize];
    return std::string(out, format_float_reference(v, out));
}

}  // namespace

TEST(float_format_layout_and_edge_values) {
    struct Case {
        double v;
        const char* text;
    };
    const Case cases[] = {
        {-0.0, "-0.0"},
        {-65.613616999999977, "-65.61361699999998"},
        {9007199254740993.0, "9007199254740992.0"},     // rounds to 2^53 when parsed
        {1.7976931348623157e15, "1797693134862315.8"},  // E = 15, 17 digits
        {9999999999999999.0, "1e+16"},                  // rounds up past E = 15
        {9.999999999999999e-5, "0.00009999999999999999"},
        {9.999999999999999e-6, "9.999999999999999e-6"},  // E = -6
        {1e22, "1e+22"},
        {1e23, "1e+23"},
        {123e-20, "1.23e-18"},
        {-1.7976931348623157e308, "-1.7976931348623157e+308"},
        {2.225073858507201e-308, "2.225073858507201e-308"},  // max subnormal
        {-5e-324, "-5e-324"},
        // Powers of two where the lower neighbour is closer, and rounding boundaries.
        {std::ldexp(1.0, 60), "1.152921504606847e+18"},
        {std::ldexp(1.0, -1073), "1e-323"},
        {2.9802322387695312e-8, "2.9802322387695312e-8"},
        {1.2676506002282294e30, "1.2676506002282294e+30"},
    };
    for (const Case& c : cases) {
        CHECK_EQ(fmt(c.v), std::string(c.text));
        CHECK_EQ(ref(c.v), std::string(c.text));
    }
}
