// core_tests [--search-kernel=NAME] [FILTER...]: runs the tests whose name contains any
// FILTER (all without one), with the delimiter search forced to one kernel if asked.
// core_tests --search-kernels: prints the kernels this CPU runs, one a line.
#include "check.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "request/byte_search.h"

using calvenor::request::SearchKernel;

int main(int argc, char** argv) {
    constexpr SearchKernel kKernels[] = {SearchKernel::scalar, SearchKernel::avx2, SearchKernel::avx512};
    std::vector<const char*> filters;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--search-kernels") {
            for (SearchKernel k : kKernels)
                if (calvenor::request::search_kernel_supported(k)) std::printf("%s\n", calvenor::request::search_kernel_name(k));
            return 0;
        }
        if (arg.starts_with("--search-kernel=")) {
            const std::string_view name = arg.substr(arg.find('=') + 1);
            bool chosen = false;
            for (SearchKernel k : kKernels)
                if (name == calvenor::request::search_kernel_name(k)) chosen = calvenor::request::use_search_kernel(k);
            if (!chosen) {
                std::fprintf(stderr, "search kernel %s is unknown or not supported by this CPU\n", argv[i]);
                return 2;
            }
            continue;
        }
        filters.push_back(argv[i]);
    }
    int passed = 0, failed = 0;
    for (const auto& c : check::registry()) {
        bool wanted = filters.empty();
        for (const char* f : filters) wanted = wanted || std::strstr(c.name, f) != nullptr;
        if (!wanted) continue;
        int before = check::failures();
        c.fn();
        if (check::failures() == before) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed (search kernel %s)\n", passed, failed,
                calvenor::request::search_kernel_name(calvenor::request::search_kernel()));
    return failed == 0 ? 0 : 1;
}
