// A very small test registry for the pure C++ cores: TEST(name) { CHECK(...); }.
#pragma once
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*fn)();
};
// Constant-initialised, so the registrations below may run in any order across files.
inline std::vector<Case> registry;
inline int failures = 0;

struct Register {
    Register(const char* name, void (*fn)()) { registry.push_back({name, fn}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: %s failed\n", file, line, what.c_str());
    ++failures;
}

template <class A, class B>
void expect_eq(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line) {
    if (a == b) return;
    std::ostringstream os;
    os << "CHECK_EQ(" << ea << ", " << eb << "): " << a << " != " << b << ",";
    fail(file, line, os.str());
}

}  // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST(name)                                                   \
    static void name();                                              \
    static check::Register CHECK_CAT(register_, name)(#name, &name); \
    static void name()
#define CHECK(cond) ((cond) ? void() : check::fail(__FILE__, __LINE__, "CHECK(" #cond ")"))
#define CHECK_EQ(a, b) check::expect_eq((a), (b), #a, #b, __FILE__, __LINE__)
