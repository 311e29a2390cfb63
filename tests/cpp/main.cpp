#include "check.h"

#include <cstring>

int main(int argc, char** argv) {
    int passed = 0, failed = 0;
    for (const auto& c : check::registry()) {
        if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
        int before = check::failures();
        c.fn();
        if (check::failures() == before) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
