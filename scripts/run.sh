#!/usr/bin/env bash
# The main job: sets everything up (Python >= 3.12, .venv, build) and serves the example
# application (examples/app.py) with uvicorn on http://127.0.0.1:8000.
exec bash "$(dirname "$0")/serve.sh" "$@"
