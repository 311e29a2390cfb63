#!/usr/bin/env bash
# Builds the module and runs every check, stopping at the first failure:
#   1. the C++ core tests and the pytest suite against the in-tree build, and the delimiter
#      search and multipart tests once more per other search kernel the CPU runs;
#   2. the package: type stubs, mypy --strict, one cp312-abi3 wheel audited for the stable
#      ABI, installed and tested on CPython 3.12 and on a second CPython >= 3.12;
#   3. the pytest suite and C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer;
#   4. every libFuzzer target for a bounded time (FUZZ_SECONDS, default 60).
# Extra arguments go to the first pytest run.
source "$(dirname "$0")/common.sh"

setup_main_venv
build_module build/release

say "C++ core tests"
build/release/core_tests

say "pytest on $("$VENV_PY" --version)"
PYTHONPATH="$ROOT/python" "$VENV_PY" -m pytest -q -p no:cacheprovider tests "$@"

say "search kernels"
bash scripts/test_search_kernels.sh

say "package: stubs, wheel, stable ABI, tests of the installed wheel"
bash scripts/check_package.sh

say "sanitizers"
bash scripts/sanitize.sh -q

say "fuzzing"
bash scripts/fuzz.sh

say "all checks passed"
