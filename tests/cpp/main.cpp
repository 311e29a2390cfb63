// core_tests [--search-kernel=NAME] [FILTER...]: runs the tests whose name contains any
// FILTER (all without one), with the delimiter search forced to one kernel if asked.
// core_tests --search-kernels: prints the kernels this CPU runs, slowest first.
#include "check.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "request/byte_search.h"

using namespace calvenor::request;

int main(int argc, char** argv) {
    std::vector<const char*> filters;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        bool known = false;
        for (SearchKernel k : {SearchKernel::scalar, SearchKernel::avx2, SearchKernel::avx512}) {
            if (arg == "--search-kernels" && search_kernel_supported(k)) std::printf("%s\n", search_kernel_name(k));
            known = known || (arg == std::string("--search-kernel=") + search_kernel_name(k) && use_search_kernel(k));
        }
        if (arg == "--search-kernels") return 0;
        if (arg.starts_with("--") && !known) {
            std::fprintf(stderr, "%s: unknown option, or a search kernel this CPU cannot run\n", argv[i]);
            return 2;
        }
        if (!known) filters.push_back(argv[i]);
    }
    int passed = 0, failed = 0;
    for (const auto& c : check::registry) {
        bool wanted = filters.empty();
        for (const char* f : filters) wanted = wanted || std::strstr(c.name, f) != nullptr;
        if (!wanted) continue;
        int before = check::failures;
        c.fn();
        if (check::failures == before) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed (search kernel %s)\n", passed, failed, search_kernel_name(search_kernel()));
    return failed == 0 ? 0 : 1;
}
