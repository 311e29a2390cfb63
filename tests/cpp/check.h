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

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int n = 0;
    return n;
}

struct Register {
    Register(const char* name, void (*fn)()) { registry().push_back({name, fn}); }
};

template <class A, class B>
void expect_eq(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line) {
    if (a == b) return;
    std::ostringstream os;
    os << a << " != " << b;
    std::fprintf(stderr, "%s:%d: CHECK_EQ(%s, %s) failed: %s\n", file, line, ea, eb, os.str().c_str());
    ++failures();
}

}  // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST(name)                                                        \
    static void name();                                                   \
    static check::Register CHECK_CAT(register_, name)(#name, &name);      \
    static void name()
#define CHECK(cond)                                                                         \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond);   \
            ++check::failures();                                                            \
        }                                                                                   \
    } while (0)
#define CHECK_EQ(a, b) check::expect_eq((a), (b), #a, #b, __FILE__, __LINE__)
