#!/usr/bin/env bash
# Runs every test: the native tests (GoogleTest, through ctest) and the
# Python tests (pytest, against qelmo as installed in .venv).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/fetch_onnxruntime_headers.sh
cmake -S . -B build/native -DQELMO_BUILD_MODULE=OFF -DQELMO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native -j "$(nproc)"
# Native tests that need ONNX Runtime take it from the virtual environment.
QELMO_TEST_ONNXRUNTIME="$(.venv/bin/python -c 'import glob, onnxruntime, os; print(sorted(glob.glob(os.path.join(os.path.dirname(onnxruntime.__file__), "capi", "libonnxruntime.so.*")))[-1])')" \
    ctest --test-dir build/native --output-on-failure -j "$(nproc)"

# Run from outside the source tree so that only the installed module is seen.
cd tests
../.venv/bin/python -m pytest -q python "$@"
