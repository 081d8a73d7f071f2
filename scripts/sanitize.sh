#!/usr/bin/env bash
# Builds the native tests, the module and the runtime with AddressSanitizer
# and UndefinedBehaviorSanitizer, then runs the native tests and the Python
# suite against that build. The interpreter itself is not instrumented, so the
# sanitizer runtime is preloaded into it. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${QELMO_PYTHON:-$PWD/.venv/bin/python}"  # the interpreter whose packages the tests use
build="$PWD/build/sanitize"
[[ -x .venv/bin/cmake ]] && export PATH="$PWD/.venv/bin:$PATH"

./scripts/fetch_onnxruntime_headers.sh
# The pybind11 release the build is pinned to (pyproject.toml's build
# requirement), in a folder of this build's own, whatever the environment has.
pybind11_pin="$(grep -oE '"pybind11[^"]*"' pyproject.toml | head -n 1 | tr -d '"')"
"$python" -m pip install -q --upgrade --target "$build/pybind11" "$pybind11_pin"
cmake -S . -B "$build" -DQELMO_SANITIZE=ON -DQELMO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$build/pybind11/pybind11/share/cmake/pybind11" >/dev/null
cmake --build "$build" -j "$(nproc)" --target qelmo qelmo_runtime qelmo_native_tests

# Found, not imported: importing onnxruntime writes telemetry under ~/.cache.
onnxruntime_package="$("$python" -c 'import importlib.util; print(importlib.util.find_spec("onnxruntime").submodule_search_locations[0])')"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# ONNX Runtime is not instrumented and its allocations are its own business;
# leaks are checked in the native tests, where everything but it is ours.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
QELMO_TEST_ONNXRUNTIME="$(ls "$onnxruntime_package"/capi/libonnxruntime.so.* | sort -V | tail -1)" \
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The module as installed: qelmo*.so beside qelmo.libs/, and the onnxruntime
# package beside both, where the runtime looks for ONNX Runtime's library.
stage="$build/site"
rm -rf "$stage" && mkdir -p "$stage/qelmo.libs"
ln -s "$build"/qelmo*.so "$stage/"
ln -s "$build/Windows.AI.MachineLearning.so" "$stage/qelmo.libs/"
ln -s "$onnxruntime_package" "$stage/onnxruntime"
ln -s "$PWD/src/stubs/qelmo-stubs" "$PWD/src/cli/qelmo_cli" "$stage/"

# CPython keeps much of its memory until exit on purpose: no leak report there.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=0
cd tests
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" PYTHONPATH="$stage" \
    "$python" -m pytest -q -p no:cacheprovider python "$@"
