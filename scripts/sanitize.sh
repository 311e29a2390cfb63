#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into build/asan and
# runs the C++ core tests (the search ones once per search kernel) and the whole pytest
# suite against that build. The sanitized module lives in its own package directory
# (build/asan/pkg), so python/calvenor keeps the normal build. Extra arguments go to pytest.
source "$(dirname "$0")/common.sh"

setup_main_venv

BDIR=build/asan
PKG="$ROOT/$BDIR/pkg"
NORMAL_SO="$ROOT/python/calvenor/_core.abi3.so"

# The build copies its module into python/calvenor/; keep the normal one there.
SAVED=""
if [ -f "$NORMAL_SO" ]; then
    SAVED="$(mktemp)"
    cp -p "$NORMAL_SO" "$SAVED"
fi
# Put the saved copy back only where the sanitized build replaced it (not a newer build).
restore_normal() {
    local so
    if [ -n "$SAVED" ]; then
        so="$(ls "$ROOT/$BDIR"/_core*.so 2>/dev/null | head -n 1)"
        if [ -n "$so" ] && cmp -s "$so" "$NORMAL_SO"; then cp -p "$SAVED" "$NORMAL_SO"; fi
        rm -f "$SAVED"
    fi
}
trap restore_normal EXIT

# RelWithDebInfo: line numbers in the reports, and code close to what is shipped.
build_module "$BDIR" -DCALVENOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
SO="$(ls "$BDIR"/_core*.so 2>/dev/null | head -n 1)"
[ -n "$SO" ] || die "no sanitized module found in $BDIR"
restore_normal
SAVED=""

# A package directory of its own: the sanitized _core beside the package's other files.
test_package "$SO" "$PKG"

ASAN_LIB="$(g++ -print-file-name=libasan.so)"
UBSAN_LIB="$(g++ -print-file-name=libubsan.so)"
[ -f "$ASAN_LIB" ] || die "libasan.so not found (g++ -print-file-name=libasan.so gave $ASAN_LIB)"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1"
export CALVENOR_SANITIZED=1

say "C++ core tests under ASan/UBSan"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
"$BDIR/core_tests" || die "core_tests failed under the sanitizers"
# The search and multipart tests again with each slower search kernel the CPU runs (the
# fastest, the default, ran above).
for kernel in $("$BDIR/core_tests" --search-kernels | head -n -1); do
    "$BDIR/core_tests" --search-kernel="$kernel" byte_search multipart \
        || die "core_tests ($kernel search kernel) failed under the sanitizers"
done
unset ASAN_OPTIONS

# The interpreter is not instrumented, so the runtime must be loaded first. Leak detection
# is off: the interpreter keeps its own allocations until exit (tests/test_leaks.py covers
# the module's). PYTHONMALLOC=malloc sends every Python object through the sanitizer's
# allocator, so overruns into interpreter memory are caught too.
PRELOAD="$ASAN_LIB"
[ -f "$UBSAN_LIB" ] && PRELOAD="$PRELOAD:$UBSAN_LIB"
run_sanitized() {
    LD_PRELOAD="$PRELOAD" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=0:check_initialization_order=1:strict_init_order=1" \
    PYTHONMALLOC=malloc PYTHONPATH="$PKG" PYTHONFAULTHANDLER=1 "$@"
}

LOADED="$(run_sanitized "$VENV_PY" -c 'import calvenor._core as c; print(c.__file__)')" \
    || die "the sanitized module does not import"
[ "$LOADED" = "$PKG/calvenor/_core.abi3.so" ] || die "imported $LOADED instead of the sanitized build"

say "pytest against the sanitized module ($LOADED)"
run_sanitized "$VENV_PY" -m pytest -q -p no:cacheprovider tests "$@" \
    || die "pytest failed under the sanitizers"
say "sanitizer run clean"
