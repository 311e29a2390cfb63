#!/usr/bin/env bash
# Builds the module and runs every test: the C++ core tests, then pytest on the main
# interpreter and again, with the same built file, on a second CPython >= 3.12.
source "$(dirname "$0")/common.sh"

setup_main_venv
build_module build/release

say "C++ core tests"
build/release/core_tests

say "pytest on $("$VENV_PY" --version)"
PYTHONPATH="$ROOT/python" "$VENV_PY" -m pytest -q -p no:cacheprovider tests "$@"

if OTHER="$(find_other_python "$VENV_PY")"; then
    ensure_venv .venv-alt "$OTHER" requirements/test-alt.txt
    say "pytest on $("$OTHER" --version), same built module"
    PYTHONPATH="$ROOT/python" .venv-alt/bin/python -m pytest -q -p no:cacheprovider tests "$@"
else
    say "WARNING: no second CPython >= 3.12 found; the abi3 module was tested on one version only"
fi
say "all tests passed"
