#!/usr/bin/env bash
# Runs the delimiter search and multipart tests once per search kernel this CPU can run:
# the C++ tests with the kernel chosen at run time, and the multipart pytest cases against a
# module built with the kernel fixed at compile time (build/kernel-<name>). The kernel that
# the normal build picks is covered by the main runs of scripts/test.sh and skipped here;
# kernels the CPU lacks are skipped, saying so. The multipart fuzz target tries every
# kernel on each input by itself. Extra arguments go to pytest.
source "$(dirname "$0")/common.sh"

setup_main_venv
[ -x build/release/core_tests ] || build_module build/release

mapfile -t runnable < <(build/release/core_tests --search-kernels)
fastest="${runnable[-1]}"
for kernel in scalar avx2 avx512; do
    if [[ " ${runnable[*]} " != *" $kernel "* ]]; then
        say "search kernel $kernel: skipped, this CPU cannot run it"
        continue
    fi
    if [ "$kernel" = "$fastest" ]; then
        say "search kernel $kernel: the normal build's, tested by the main runs"
        continue
    fi
    say "search kernel $kernel: C++ tests"
    build/release/core_tests --search-kernel="$kernel" byte_search multipart

    bdir="build/kernel-$kernel"
    build_module "$bdir" -DCALVENOR_FORCE_SEARCH_KERNEL="$kernel" -DCALVENOR_BUILD_TESTS=OFF
    so="$(ls "$bdir"/_core*.so | head -n 1)"
    test_package "$so" "$ROOT/$bdir/pkg"
    say "search kernel $kernel: multipart pytest cases"
    PYTHONPATH="$ROOT/$bdir/pkg" "$VENV_PY" -m pytest -q -p no:cacheprovider \
        tests/test_multipart.py tests/test_adversarial.py -k "multipart or Multipart" "$@"
done
