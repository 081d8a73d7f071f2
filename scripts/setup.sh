#!/usr/bin/env bash
# Sets qelmo up from a fresh clone, installing everything it needs itself: a
# virtual environment in .venv with CMake and Ninja from PyPI (and zig's
# C/C++ toolchain when the machine has no C++17 compiler), ONNX Runtime's
# headers and GoogleTest's sources from the distribution's archive, and qelmo
# with its test dependencies. Ends by running the qelmo tool on its sample.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build_environment.sh

python="${PYTHON:-python3}"
if [[ ! -x "$venv/bin/python" ]]; then
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "cmake>=3.18" "ninja>=1.10"

# The compiler: the system's when it builds C++17, else zig's from PyPI.
probe="$(mktemp -d)"
echo 'int main() { if constexpr (true) return 0; }' > "$probe/probe.cpp"
if "${CXX:-c++}" -std=c++17 "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
    : > "$build_env"
else
    echo "no C++17 compiler found: using zig's toolchain from PyPI"
    "$venv/bin/python" -m pip install -q "ziglang==0.17.1"
    cat > "$build_env" <<ZIG
export QELMO_ZIG_PYTHON="$venv/bin/python"
export CC="$PWD/scripts/toolchain/zig-cc" CXX="$PWD/scripts/toolchain/zig-c++"
ZIG
fi
rm -rf "$probe"
source "$build_env"
export PATH="$venv/bin:$PATH"

./scripts/fetch_onnxruntime_headers.sh
./scripts/fetch_googletest.sh
install_qelmo
# The first thing a new user sees: the shipped sample model inspected and run.
"$venv/bin/qelmo"
