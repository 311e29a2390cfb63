// Every number in a text file (JSON, say), read with strtod: the float benchmarks' inputs.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

inline std::vector<double> numbers_of(const char* path) {
    std::vector<double> out;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return out;
    std::string text;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
    std::fclose(f);
    for (const char* p = text.c_str(); *p;) {
        if (*p == '-' || (*p >= '0' && *p <= '9')) {
            char* end;
            out.push_back(std::strtod(p, &end));
            p = end;
        } else {
            ++p;
        }
    }
    return out;
}
