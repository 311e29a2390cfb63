#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
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

double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

// splitmix64: fixed seed, so failures reproduce.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
};

int mismatches = 0;

void same_as_reference(double v) {
    if (!std::isfinite(v)) return;
    const std::string a = fmt(v), b = ref(v);
    if (a != b && ++mismatches <= 10)
        std::fprintf(stderr, "format_float(%a) = \"%s\", reference \"%s\"\n", v, a.c_str(), b.c_str());
}

}  // namespace

TEST(float_format_layout_and_edge_values) {
    struct Case {
        double v;
        const char* text;
    };
    const Case cases[] = {
        // Zero and sign.
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {-1.0, "-1.0"},
        {-65.613616999999977, "-65.61361699999998"},
        {-65.613617, "-65.613617"},
        // Fixed, integral.
        {1.0, "1.0"},
        {100.0, "100.0"},
        {123456789.0, "123456789.0"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {9007199254740991.0, "9007199254740991.0"},  // 2^53 - 1
        {9007199254740992.0, "9007199254740992.0"},  // 2^53, E = 15
        {9007199254740993.0, "9007199254740992.0"},  // rounds to 2^53 when parsed
        {9007199254740994.0, "9007199254740994.0"},
        {4503599627370497.0, "4503599627370497.0"},  // 2^52 + 1
        {1234567890123456.0, "1234567890123456.0"},
        {1.5e15, "1500000000000000.0"},
        // Fixed with a fraction.
        {3.25, "3.25"},
        {0.5, "0.5"},
        {0.1, "0.1"},
        {0.3, "0.3"},
        {0.1 + 0.2, "0.30000000000000004"},
        {123456.789, "123456.789"},
        {2.5, "2.5"},
        {1.7976931348623157e15, "1797693134862315.8"},  // E = 15, 17 digits
        {9999999999999999.0, "1e+16"},                  // rounds up past E = 15
        {0.00001, "0.00001"},                           // E = -5
        {1.2345e-5, "0.000012345"},
        {9.999999999999999e-5, "0.00009999999999999999"},
        {9.999999999999999e-6, "9.999999999999999e-6"},  // E = -6
        {0.000123, "0.000123"},
        // Scientific.
        {1e16, "1e+16"},
        {1.5e16, "1.5e+16"},
        {1e17, "1e+17"},
        {1e21, "1e+21"},
        {1e22, "1e+22"},
        {1e23, "1e+23"},
        {1e-6, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {1e-7, "1e-7"},
        {1e100, "1e+100"},
        {1e-100, "1e-100"},
        {123e-20, "1.23e-18"},
        {18446744073709551616.0, "1.8446744073709552e+19"},  // 2^64
        {-9223372036854775808.0, "-9.223372036854776e+18"},  // -2^63
        {9007199254740993.0 * 2, "1.8014398509481984e+16"},
        // Range ends.
        {1.7976931348623157e308, "1.7976931348623157e+308"},  // max
        {-1.7976931348623157e308, "-1.7976931348623157e+308"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},  // min normal
        {2.225073858507201e-308, "2.225073858507201e-308"},    // max subnormal
        {5e-324, "5e-324"},                                    // min subnormal
        {1e-323, "1e-323"},
        {1.5e-323, "1.5e-323"},
        {-5e-324, "-5e-324"},
        // Powers of two where the lower neighbour is closer.
        {0.25, "0.25"},
        {1024.0, "1024.0"},
        {std::ldexp(1.0, 60), "1.152921504606847e+18"},
        {std::ldexp(1.0, -20), "9.5367431640625e-7"},
        {std::ldexp(1.0, -1022), "2.2250738585072014e-308"},
        {std::ldexp(1.0, 1023), "8.98846567431158e+307"},
        {std::ldexp(1.0, -1073), "1e-323"},
        // Shortest form on a rounding boundary.
        {5e-324 * 3, "1.5e-323"},
        {2.9802322387695312e-8, "2.9802322387695312e-8"},
        {1.2676506002282294e30, "1.2676506002282294e+30"},
    };
    for (const Case& c : cases) {
        CHECK_EQ(fmt(c.v), std::string(c.text));
        CHECK_EQ(ref(c.v), std::string(c.text));
    }
}

TEST(float_format_matches_reference_on_structured_values) {
    mismatches = 0;
    // Powers of two and ten across the range, with neighbours.
    for (int e = -1074; e <= 1023; ++e) {
        const double v = std::ldexp(1.0, e);
        same_as_reference(v);
        same_as_reference(std::nextafter(v, 0.0));
        same_as_reference(std::nextafter(v, INFINITY));
        same_as_reference(-v);
    }
    for (int e = -323; e <= 308; ++e) {
        const double v = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        same_as_reference(v);
        same_as_reference(std::nextafter(v, 0.0));
        same_as_reference(std::nextafter(v, INFINITY));
    }
    // Small subnormals, integers, and integers around 2^53 and 1e16.
    for (uint64_t b = 1; b < 5000; ++b) same_as_reference(from_bits(b));
    for (int i = 0; i < 20000; ++i) same_as_reference((double)i);
    for (int64_t i = -2000; i <= 2000; ++i) {
        same_as_reference((double)((int64_t(1) << 53) + i));
        same_as_reference(1e16 + (double)i * 2);
        same_as_reference(1e15 + (double)i);
    }
    CHECK_EQ(mismatches, 0);
}

TEST(float_format_matches_reference_on_random_values) {
    mismatches = 0;
    Rng rng{12345};
    for (int i = 0; i < 200000; ++i) {
        same_as_reference(from_bits(rng.next()));  // any exponent
        // Coordinates like canada.json, rounded to a few decimals or not.
        const double coord = ((double)(rng.next() >> 11) / 9007199254740992.0 - 0.5) * 360.0;
        same_as_reference(coord);
        same_as_reference(std::round(coord * 1e6) / 1e6);
    }
    for (int i = 0; i < 100000; ++i) {
        const float f = std::bit_cast<float>((uint32_t)rng.next());
        same_as_reference((double)f);
    }
    CHECK_EQ(mismatches, 0);
}
