#!/usr/bin/env bash
# How GPU users install qelmo, tried on a machine without a GPU with the real
# packages: the qelmo wheel in dist/ (scripts/build_wheels.sh) for this
# machine's python3, with onnxruntime-gpu installed after it, before it,
# overwritten by onnxruntime of the same version, and alone. In each case the
# runtime must load the GPU build's library, report the real reason for the
# CPU fallback (no NVIDIA driver; with a stand-in driver, the CUDA libraries
# missing), map no CUDA library for CPU sessions, leave the home folder
# empty, and (where both packages are installed) leave `pip check` clean.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
python="${PYTHON:-python3}"
# A release that both packages publish, for the overwritten case.
gpu_version=1.31.1

tag="$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
wheel="$(ls "$root"/dist/qelmo-*-"$tag"-*.whl 2>/dev/null | sort -V | tail -n 1 || true)"
if [[ -z "$wheel" ]]; then
    echo "test_gpu_packages.sh: no $tag wheel in dist/ (run scripts/build_wheels.sh)" >&2
    exit 1
fi
work="$root/build/gpu-packages"
downloads="$work/downloads"
mkdir -p "$downloads" "$work/driver"
"$python" -m pip download -q --no-deps --only-binary=:all: -d "$downloads" \
    "onnxruntime-gpu==$gpu_version" "onnxruntime==$gpu_version"
gpu_wheel="$(ls "$downloads"/onnxruntime_gpu-"$gpu_version"-"$tag"-*.whl)"
cpu_wheel="$(ls "$downloads"/onnxruntime-"$gpu_version"-"$tag"-*.whl)"
# A driver library with no GPU behind it: it loads, and that is all.
echo 'int qelmo_stand_in_driver;' > "$work/driver/driver.c"
cc -shared -o "$work/driver/libcuda.so.1" "$work/driver/driver.c"

no_driver="no NVIDIA driver (libcuda.so.1 could not be loaded)"
no_cuda="found neither by the system's loader nor in NVIDIA's pip packages"
overwritten="was overwritten by the onnxruntime package's CPU build"
failures=()

fresh_env() {
    local env="$work/$1"
    rm -rf "$env"
    "$python" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip 2>&1 | grep -v '^WARNING: Location' || true
    echo "$env"
}

pip_quiet() { "$1/bin/python" -m pip install -q "${@:2}" 2>&1 | grep -v '^WARNING: Location' || true; }

check() {
    local env="$1" name="$2"
    shift 2
    echo "-- $name"
    if ! "$env/bin/python" "$root/tests/packages/device_report_check.py" "$@"; then failures+=("$name"); fi
}

pip_check() {
    local env="$1" name="$2"
    if "$env/bin/python" -m pip check >/dev/null; then
        echo "  ok   pip check is clean"
    else
        "$env/bin/python" -m pip check || true
        failures+=("$name: pip check")
    fi
}

echo "== qelmo, then onnxruntime-gpu"
env="$(fresh_env after)"
pip_quiet "$env" "$wheel"
pip_quiet "$env" "$gpu_wheel"
check "$env" "gpu after qelmo" --library-version "$gpu_version" --reason "$no_driver"
LD_LIBRARY_PATH="$work/driver" check "$env" "gpu after qelmo, a driver without CUDA" \
    --library-version "$gpu_version" --reason "$no_cuda"
pip_check "$env" "gpu after qelmo"

echo "== onnxruntime-gpu, then qelmo (onnxruntime overwrites the files both packages ship)"
env="$(fresh_env before)"
pip_quiet "$env" "$gpu_wheel"
pip_quiet "$env" "$wheel"
check "$env" "gpu before qelmo" --library-version "$gpu_version" --reason "$no_driver" --overwritten
pip_check "$env" "gpu before qelmo"

echo "== onnxruntime-gpu $gpu_version overwritten by onnxruntime $gpu_version"
env="$(fresh_env same-version)"
pip_quiet "$env" "$wheel"
pip_quiet "$env" "$gpu_wheel"
pip_quiet "$env" --force-reinstall --no-deps "$cpu_wheel"
check "$env" "same version overwritten" --library-version "$gpu_version" --reason "$overwritten" --overwritten
pip_check "$env" "same version overwritten"

echo "== onnxruntime-gpu alone (onnxruntime uninstalled)"
env="$(fresh_env gpu-only)"
pip_quiet "$env" "$wheel"
pip_quiet "$env" "$gpu_wheel"
"$env/bin/python" -m pip uninstall -q -y onnxruntime 2>&1 | grep -v '^WARNING: Location' || true
check "$env" "gpu alone" --library-version "$gpu_version" --reason "$no_driver" --overwritten

rm -rf "$work"/{after,before,same-version,gpu-only}
if [[ ${#failures[@]} -gt 0 ]]; then
    echo "GPU package checks failed: ${failures[*]}" >&2
    exit 1
fi
echo "GPU package checks passed"
