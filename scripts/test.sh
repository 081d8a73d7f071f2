#!/usr/bin/env bash
# Runs every test: the native tests (GoogleTest, through ctest) and the
# Python tests (pytest, against qelmo as installed in .venv by setup.sh).
# When the sources changed since qelmo was last installed, it is rebuilt and
# reinstalled first. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build_environment.sh

if [[ ! -x "$venv/bin/python" || ! -f "$build_env" ]]; then
    echo "test.sh: no development environment in .venv: run scripts/setup.sh first" >&2
    exit 1
fi
source "$build_env"
export PATH="$venv/bin:$PATH"

if installed_is_stale; then
    echo "Sources changed since qelmo was installed: rebuilding it."
    install_qelmo --no-build-isolation
fi

./scripts/fetch_onnxruntime_headers.sh
cmake -S . -B build/tests -G Ninja -DQELMO_BUILD_MODULE=OFF -DQELMO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/tests
# Native tests that need ONNX Runtime take it from the virtual environment
# (found, not imported: importing onnxruntime writes telemetry under ~/.cache).
QELMO_TEST_ONNXRUNTIME="$("$venv/bin/python" -c 'import glob, importlib.util, os; folder = importlib.util.find_spec("onnxruntime").submodule_search_locations[0]; print(sorted(glob.glob(os.path.join(folder, "capi", "libonnxruntime.so.*")))[-1])')" \
    ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

# Run from outside the source tree so that only the installed module is seen.
cd tests
"$venv/bin/python" -m pytest -q python "$@"
