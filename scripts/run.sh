#!/usr/bin/env bash
# Sets everything up (Python >= 3.12, .venv, build) and runs the project's main job.
source "$(dirname "$0")/common.sh"
setup_main_venv
build_module build/release
say "running examples/responses.py"
PYTHONPATH="$ROOT/python" "$VENV_PY" examples/responses.py
