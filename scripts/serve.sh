#!/usr/bin/env bash
# Sets everything up (Python >= 3.12, .venv, build) and serves examples/app.py on
# http://127.0.0.1:8000 with uvicorn. Extra arguments go to uvicorn (e.g. --port 8001).
source "$(dirname "$0")/common.sh"
setup_main_venv
build_module build/release
say "serving examples/app.py on http://127.0.0.1:8000 (Ctrl-C stops)"
PYTHONPATH="$ROOT/python" exec "$VENV_PY" -m uvicorn --app-dir "$ROOT/examples" app:app \
    --host 127.0.0.1 --port 8000 "$@"
