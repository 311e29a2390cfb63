// The float formatter alone against the shortest round-trip formatters one can install:
// std::to_chars, and {fmt}'s Dragonbox (Debian's libfmt-dev, used header-only; skipped when
// its headers are missing). Rows marked "our layout" produce exactly format_float's text.
//   g++ -std=c++20 -O2 -Isrc benchmarks/bench_float_format.cpp src/json/float_format.cpp
//       -o build/bench_float_format && build/bench_float_format benchmarks/data/canada.json
// Prints ns per value, best of the rounds; the implementations take turns within each round so
// that machine load hits them alike.
#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "file_numbers.h"
#include "json/float_format.h"

#if __has_include(<fmt/format.h>)
#define FMT_HEADER_ONLY
#include <fmt/compile.h>
#include <fmt/format.h>
#define HAVE_FMT 1
#endif

using namespace calvenor::json;

namespace {

using Formatter = size_t (*)(double, char*);

size_t ours(double v, char* out) { return format_float(v, out); }

size_t to_chars_shortest(double v, char* out) { return (size_t)(std::to_chars(out, out + 32, v).ptr - out); }

size_t to_chars_our_layout(double v, char* out) { return format_float_reference(v, out); }

#ifdef HAVE_FMT
size_t fmt_shortest(double v, char* out) { return (size_t)(fmt::format_to(out, FMT_COMPILE("{}"), v) - out); }

size_t dragonbox_our_layout(double v, char* out) {
    if (v == 0) return format_float(v, out);
    const auto d = fmt::detail::dragonbox::to_decimal(v);
    return format_decimal(d.significand, d.exponent, std::signbit(v), out);
}
#endif

struct Row {
    const char* name;
    Formatter fn;
};

const Row kRows[] = {
    {"format_float (Schubfach, our layout)", ours},
    {"std::to_chars digits, our layout", to_chars_our_layout},
    {"std::to_chars shortest (own layout)", to_chars_shortest},
#ifdef HAVE_FMT
    {"Dragonbox digits, our layout", dragonbox_our_layout},
    {"fmt::format_to {} (own layout)", fmt_shortest},
#endif
};

volatile size_t sink_of_results;

double run_ns(const std::vector<double>& values, Formatter fn) {
    char buf[64];
    size_t sink = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (double v : values) sink += fn(v, buf) + (unsigned char)buf[0];
    const auto t1 = std::chrono::steady_clock::now();
    sink_of_results = sink;
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / (double)values.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> canada = numbers_of(argc > 1 ? argv[1] : "benchmarks/data/canada.json");
    if (canada.empty()) {
        std::fprintf(stderr, "no numbers read; pass the path of canada.json\n");
        return 1;
    }
    std::vector<double> random;
    for (uint64_t s = 7; random.size() < 200000;) {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        const double v = std::bit_cast<double>(z ^ (z >> 31));
        if (std::isfinite(v)) random.push_back(v);
    }
    const struct {
        const char* name;
        const std::vector<double>* values;
    } sets[] = {{"canada.json numbers", &canada}, {"random bit patterns", &random}};

    constexpr size_t kImpls = sizeof kRows / sizeof kRows[0];
    double best[2][kImpls];
    for (auto& b : best) std::fill(std::begin(b), std::end(b), 1e30);
    for (int round = 0; round < 40; ++round)
        for (size_t s = 0; s < 2; ++s)
            for (size_t i = 0; i < kImpls; ++i) best[s][i] = std::min(best[s][i], run_ns(*sets[s].values, kRows[i].fn));

    std::printf("%-40s %20s %20s\n", "ns per value, best of 40", sets[0].name, sets[1].name);
    for (size_t i = 0; i < kImpls; ++i)
        std::printf("%-40s %20.1f %20.1f\n", kRows[i].name, best[0][i], best[1][i]);
    return 0;
}
