#!/usr/bin/env bash
# Sets qelmo up from a fresh clone: a virtual environment in .venv with qelmo
# and its test dependencies installed, then runs the qelmo tool on its sample model.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${PYTHON:-python3}"
if [[ ! -x .venv/bin/python ]]; then
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
./scripts/fetch_onnxruntime_headers.sh
.venv/bin/python -m pip install -q ".[test]"
# The first thing a new user sees: the shipped sample model inspected and run.
.venv/bin/qelmo
