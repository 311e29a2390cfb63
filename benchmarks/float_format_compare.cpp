// Long check, built by hand (not part of core_tests): format_float against the
// std::to_chars based format_float_reference on many doubles.
//   g++ -std=c++20 -O2 -Isrc benchmarks/float_format_compare.cpp src/json/float_format.cpp \
//       -o build/float_format_compare && build/float_format_compare [millions_per_part]
// Parts: random bit patterns (all exponents), coordinate-like values, every float as double
// (a sweep of all 2^32 patterns, step given by the third argument, default 1).
// Benchmark mode: float_format_compare bench [canada.json [fast|reference]] prints ns per value, best of 60
// rounds, for both functions on the file's numbers (or coordinate-like values) and on
// random bit patterns.
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <string>
#include <vector>

#include "file_numbers.h"
#include "json/float_format.h"

using calvenor::json::format_float;
using calvenor::json::format_float_reference;
using calvenor::json::kFloatBufferSize;

namespace {

uint64_t checked = 0, failed = 0;

void compare(double v) {
    if (!std::isfinite(v)) return;
    char a[kFloatBufferSize], b[kFloatBufferSize];
    const size_t na = format_float(v, a);
    const size_t nb = format_float_reference(v, b);
    ++checked;
    if (na != nb || std::memcmp(a, b, na) != 0) {
        if (++failed <= 20)
            std::printf("MISMATCH %a (bits %016" PRIx64 "): \"%.*s\" vs reference \"%.*s\"\n", v,
                        std::bit_cast<uint64_t>(v), (int)na, a, (int)nb, b);
    }
}

struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
};

void report(const char* part, uint64_t before_checked, uint64_t before_failed) {
    std::printf("%-28s %12" PRIu64 " values, %" PRIu64 " mismatches\n", part, checked - before_checked,
                failed - before_failed);
    std::fflush(stdout);
}

template <class F>
double best_ns(const std::vector<double>& values, F fn) {
    double best = 1e30;
    char buf[kFloatBufferSize];
    for (int round = 0; round < 60; ++round) {
        size_t sink = 0;
        const auto t0 = std::chrono::steady_clock::now();
        for (double v : values) {
            sink += fn(v, buf);
            sink += (unsigned char)buf[0];
        }
        const auto t1 = std::chrono::steady_clock::now();
        static volatile size_t keep;
        keep = sink;
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / (double)values.size());
    }
    return best;
}

int bench(const char* path, const char* only) {
    Rng rng{7};
    std::vector<double> coords = numbers_of(path);
    if (coords.empty()) {
        for (int i = 0; i < 110000; ++i)
            coords.push_back(((double)(rng.next() >> 11) / 9007199254740992.0 - 0.5) * 180.0);
    }
    std::vector<double> random;
    while (random.size() < 200000) {
        const double v = std::bit_cast<double>(rng.next());
        if (std::isfinite(v)) random.push_back(v);
    }
    const struct {
        const char* name;
        const std::vector<double>* values;
    } sets[] = {{"canada numbers", &coords}, {"random bit patterns", &random}};
    for (const auto& set : sets) {
        const bool all = only == nullptr;
        const double ref = all || std::strcmp(only, "reference") == 0 ? best_ns(*set.values, format_float_reference) : 0;
        const double fast = all || std::strcmp(only, "fast") == 0 ? best_ns(*set.values, format_float) : 0;
        std::printf("%-20s %8zu values: reference %6.1f ns, format_float %6.1f ns\n", set.name,
                    set.values->size(), ref, fast);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "bench") == 0)
        // Relative to the repository root, where the build command in the header runs it.
        return bench(argc > 2 ? argv[2] : "benchmarks/data/canada.json", argc > 3 ? argv[3] : nullptr);
    const uint64_t millions = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100;
    const uint64_t per_part = millions * 1000000;
    const uint64_t float_step = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 20261206;
    Rng rng{seed};

    uint64_t c0 = checked, f0 = failed;
    for (uint64_t i = 0; i < per_part; ++i) compare(std::bit_cast<double>(rng.next()));
    report("random bit patterns", c0, f0);

    c0 = checked, f0 = failed;
    for (uint64_t i = 0; i < per_part / 4; ++i) {
        // Coordinates: full precision, rounded to 6 decimals, and small/large magnitudes.
        const double unit = (double)(rng.next() >> 11) / 9007199254740992.0;
        const double coord = (unit - 0.5) * 360.0;
        compare(coord);
        compare(std::round(coord * 1e6) / 1e6);
        compare(unit * std::ldexp(1.0, (int)(rng.next() % 128) - 64));
        compare((double)(int64_t)(rng.next() >> (rng.next() % 64)));
    }
    report("ordinary ranges", c0, f0);

    c0 = checked, f0 = failed;
    for (uint64_t b = 0; b <= 0xFFFFFFFFull; b += float_step) compare((double)std::bit_cast<float>((uint32_t)b));
    report("floats as doubles", c0, f0);

    std::printf("total %" PRIu64 " values, %" PRIu64 " mismatches\n", checked, failed);
    return failed == 0 ? 0 : 1;
}
