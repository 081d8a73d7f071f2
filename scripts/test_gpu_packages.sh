#!/usr/bin/env bash
# How users install qelmo and qelmo-gpu, tried on this machine (no GPU) with
# the real packages: the wheels in dist/ (scripts/build_wheels.sh) for this
# machine's python3, each story in a fresh virtual environment:
#   - the GPU command alone (pip install qelmo-gpu), and the CPU command alone;
#   - switching from the CPU package to the GPU one and back, as the README
#     says (uninstall the one with its ONNX Runtime, install the other);
#   - both qelmo and qelmo-gpu installed, in either order: the tool says what
#     to uninstall, and doing that leaves the chosen one working;
#   - qelmo with onnxruntime-gpu installed beside it by hand, its library
#     overwritten by onnxruntime's of the same release, then reinstalled as
#     the tool says.
# In each, `pip check` is clean; every file of onnxruntime-gpu (and of the
# qelmo distribution) matches its RECORD; the runtime loads the library
# expected and reports the real reason for the CPU fallback (no NVIDIA
# driver; with a stand-in driver, the next thing missing); CPU sessions map
# no CUDA library; nothing is written to the home folder
# (tests/packages/device_report_check.py).
#
# onnxruntime-gpu with its cuda and cudnn extras is about 2.1 GB of NVIDIA's
# wheels: everything is downloaded once into a wheelhouse
# (build/gpu-packages/wheelhouse, kept for the next run) and every
# environment installs from it with --no-index.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
python="${PYTHON:-python3}"
export ORT_DISABLE_TELEMETRY=1
# A release that both ONNX Runtime packages publish, for the overwritten case.
same_release=1.31.1

tag="$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
arch="$(uname -m)"
cpu_wheel="$(ls "$root"/dist/qelmo-*-"$tag"-*_"$arch".whl 2>/dev/null | sort -V | tail -n 1 || true)"
gpu_wheel="$(ls "$root"/dist/qelmo_gpu-*-"$tag"-*_"$arch".whl 2>/dev/null | sort -V | tail -n 1 || true)"
if [[ -z "$cpu_wheel" || -z "$gpu_wheel" ]]; then
    echo "test_gpu_packages.sh: no qelmo and qelmo-gpu $tag wheels in dist/ (run scripts/build_wheels.sh)" >&2
    exit 1
fi
work="$root/build/gpu-packages"
wheelhouse="$work/wheelhouse"
mkdir -p "$wheelhouse" "$work/driver"

seconds() { date +%s.%N; }
elapsed() { printf '%.0f' "$(echo "$(seconds) - $1" | bc)"; }

echo "== the wheelhouse: each wheel's requirements, and onnxruntime $same_release and onnxruntime-gpu $same_release"
start="$(seconds)"
# Apart, so that each resolves as it does for a user.
for requirement in "$cpu_wheel" "$gpu_wheel" "onnxruntime==$same_release onnxruntime-gpu==$same_release"; do
    # shellcheck disable=SC2086
    "$python" -m pip download -q --only-binary=:all: -d "$wheelhouse" $requirement 2>&1 | grep -v '^WARNING: Location' || true
done
rm -f "$wheelhouse"/qelmo-*.whl "$wheelhouse"/qelmo_gpu-*.whl
echo "   $(ls "$wheelhouse" | wc -l) files, $(du -sh "$wheelhouse" | cut -f1), $(elapsed "$start") s" \
     "(nothing to fetch when they were already there)"
same_cpu="$(ls "$wheelhouse"/onnxruntime-"$same_release"-"$tag"-*.whl)"
same_gpu="$(ls "$wheelhouse"/onnxruntime_gpu-"$same_release"-"$tag"-*.whl)"
# The releases the two wheels' requirements resolve to: the newest of each.
gpu_release="$(ls "$wheelhouse"/onnxruntime_gpu-*-"$tag"-*.whl | sed -E 's/.*onnxruntime_gpu-([0-9.]+)-.*/\1/' | sort -V | tail -n 1)"
cpu_release="$(ls "$wheelhouse"/onnxruntime-*-"$tag"-*.whl | sed -E 's/.*onnxruntime-([0-9.]+)-.*/\1/' | sort -V | tail -n 1)"

# A driver library with no GPU behind it: it loads, and that is all.
echo 'int qelmo_stand_in_driver;' > "$work/driver/driver.c"
cc -shared -o "$work/driver/libcuda.so.1" "$work/driver/driver.c"

no_driver="no NVIDIA driver (libcuda.so.1 could not be loaded)"
# With NVIDIA's packages the CUDA provider's libraries are found, and the
# stand-in driver is the next thing to fail; without them, they are not.
stand_in_driver="the NVIDIA driver library (libcuda.so.1) lacks cuInit"
no_cuda="found neither by the system's loader nor in NVIDIA's pip packages"
no_provider="has no CUDA provider (GPU sessions need qelmo-gpu, installed in place of qelmo)"
overwritten="was overwritten by the onnxruntime package's CPU build"
failures=()

fresh_env() {
    local env="$work/$1"
    rm -rf "$env"
    "$python" -m venv "$env"
    echo "$env"
}

pip_in() {
    local env="$1"
    shift
    "$env/bin/python" -m pip "$@" 2>&1 | grep -v '^WARNING: Location' || true
}

install() {
    local env="$1" start
    shift
    start="$(seconds)"
    pip_in "$env" install -q --no-index --find-links "$wheelhouse" "$@"
    echo "   pip install $(printf '%s ' "${@##*/}")in $(elapsed "$start") s; the environment: $(du -sh "$env" | cut -f1)"
}

check() {
    local env="$1" name="$2"
    shift 2
    echo "-- $name"
    if ! "$env/bin/python" "$root/tests/packages/device_report_check.py" "$@"; then failures+=("$name"); fi
    if "$env/bin/python" -m pip check >/dev/null; then
        echo "  ok   pip check is clean"
    else
        "$env/bin/python" -m pip check || true
        failures+=("$name: pip check")
    fi
}

gpu_checks() {
    local env="$1" name="$2"
    shift 2
    check "$env" "$name" --distribution qelmo-gpu --build onnxruntime-gpu --library-version "$gpu_release" \
        --reason "$no_driver" --intact onnxruntime-gpu qelmo-gpu "$@"
    LD_LIBRARY_PATH="$work/driver" check "$env" "$name, a stand-in driver" --distribution qelmo-gpu \
        --build onnxruntime-gpu --library-version "$gpu_release" --reason "$stand_in_driver" "$@"
}

# Runs the uninstall command the tool names when both qelmo and qelmo-gpu are installed.
follow_advice() {
    local advice
    advice="$("$1/bin/qelmo" --version | grep -oE 'pip uninstall -y .*' || true)"
    if [[ -z "$advice" ]]; then
        failures+=("no uninstall command from the tool")
        return
    fi
    echo "   $advice"
    # shellcheck disable=SC2086
    pip_in "$1" ${advice#pip } -q
}

cpu_checks() {
    local env="$1" name="$2"
    shift 2
    check "$env" "$name" --distribution qelmo --library-version "$cpu_release" --reason "$no_provider" --intact qelmo onnxruntime "$@"
}

echo "== the GPU command alone: pip install qelmo-gpu"
env="$(fresh_env gpu)"
install "$env" "$gpu_wheel"
gpu_checks "$env" "qelmo-gpu"

echo "== the CPU command alone: pip install qelmo"
env="$(fresh_env cpu)"
install "$env" "$cpu_wheel"
cpu_checks "$env" "qelmo"

echo "== from the CPU package to the GPU one and back"
env="$(fresh_env switch)"
install "$env" "$cpu_wheel"
pip_in "$env" uninstall -q -y qelmo onnxruntime
install "$env" "$gpu_wheel"
gpu_checks "$env" "qelmo, then qelmo-gpu"
pip_in "$env" uninstall -q -y qelmo-gpu onnxruntime-gpu
install "$env" "$cpu_wheel"
cpu_checks "$env" "qelmo-gpu, then qelmo again"

echo "== qelmo, then qelmo-gpu over it; then what the tool says to uninstall, and qelmo-gpu again"
env="$(fresh_env both-gpu-last)"
install "$env" "$cpu_wheel"
install "$env" "$gpu_wheel"
check "$env" "both, qelmo-gpu last" --both-installed --distribution qelmo --build onnxruntime-gpu \
    --library-version "$gpu_release" --reason "$no_driver" --intact onnxruntime-gpu
follow_advice "$env"
install "$env" "$gpu_wheel"
gpu_checks "$env" "both, then as the tool says, qelmo-gpu"

echo "== qelmo-gpu, then qelmo over it (onnxruntime overwrites the files both builds ship); then qelmo again"
env="$(fresh_env both-cpu-last)"
install "$env" "$gpu_wheel"
install "$env" "$cpu_wheel"
if [[ "$gpu_release" == "$cpu_release" ]]; then
    # The same release: onnxruntime's library took the place of the GPU one.
    check "$env" "both, qelmo last" --both-installed --distribution qelmo --build onnxruntime \
        --library-version "$gpu_release" --reason "$overwritten" --overwritten
else
    check "$env" "both, qelmo last" --both-installed --distribution qelmo --build onnxruntime-gpu \
        --library-version "$gpu_release" --reason "$no_driver" --overwritten
fi
follow_advice "$env"
install "$env" "$cpu_wheel"
cpu_checks "$env" "both, then as the tool says, qelmo"

echo "== qelmo with onnxruntime-gpu $same_release added by hand, then onnxruntime $same_release over it"
env="$(fresh_env same-release)"
install "$env" "$cpu_wheel" "$same_gpu"
install "$env" --no-deps --force-reinstall "$same_cpu"
check "$env" "onnxruntime-gpu overwritten by the same release" --build onnxruntime \
    --library-version "$same_release" --reason "$overwritten" --overwritten
reinstall="$("$env/bin/qelmo" run --device gpu | grep -oE 'reinstall it: pip install [^;]*' | head -n 1 || true)"
echo "   ${reinstall:-no reinstall command from the tool}"
[[ -n "$reinstall" ]] || failures+=("no reinstall command from the tool")
# shellcheck disable=SC2086
pip_in "$env" ${reinstall#reinstall it: pip } -q --no-index --find-links "$wheelhouse"
LD_LIBRARY_PATH="$work/driver" check "$env" "reinstalled as the tool says, without NVIDIA's packages" \
    --build onnxruntime-gpu --library-version "$same_release" --reason "$no_cuda" --intact onnxruntime-gpu

rm -rf "$work"/{gpu,cpu,switch,both-gpu-last,both-cpu-last,same-release}
if [[ ${#failures[@]} -gt 0 ]]; then
    echo "GPU package checks failed: ${failures[*]}" >&2
    exit 1
fi
echo "GPU package checks passed"
