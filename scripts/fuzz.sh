#!/usr/bin/env bash
# Fuzzes the model load path for SECONDS (default 60) with libFuzzer, then
# for as long again the ONNX reader against protobuf's own reading of the
# same bytes (the tensors it finds keeping data in other files must be the
# ones protobuf finds). Needs clang and its libFuzzer runtime, and protobuf's
# compiler and library (Debian: clang, libclang-rt-dev, protobuf-compiler,
# libprotobuf-dev), and the onnx package in .venv for ONNX's message
# definitions.
# The seed corpus in tests/fuzz/corpus is copied, never grown in place; new
# inputs stay in build/fuzz/corpus-NAME, crashing inputs land in build/fuzz/crashes
# (turn each into a regression test, then keep it in tests/fuzz/crashes).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
[[ -x .venv/bin/cmake ]] && export PATH="$PWD/.venv/bin:$PATH"

# clang with its libFuzzer runtime, installed from the distribution when
# missing (that needs root; otherwise say what to install).
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' > "$probe/probe.cpp"
packages=()
clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null || packages+=(clang libclang-rt-dev)
command -v protoc >/dev/null && [[ -f /usr/include/google/protobuf/message.h ]] || packages+=(protobuf-compiler libprotobuf-dev)
if [[ ${#packages[@]} -gt 0 ]]; then
    if [[ "$(id -u)" -ne 0 ]] || ! command -v apt-get >/dev/null; then
        echo "fuzz.sh: needs ${packages[*]} (Debian and Ubuntu: apt-get install ${packages[*]})" >&2
        exit 1
    fi
    echo "fuzz.sh: installing ${packages[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${packages[@]}" >/dev/null
fi

./scripts/fetch_onnxruntime_headers.sh
python_option=()
[[ -x .venv/bin/python ]] && python_option=(-DPython_EXECUTABLE="$PWD/.venv/bin/python")
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQELMO_BUILD_MODULE=OFF -DQELMO_BUILD_FUZZERS=ON "${python_option[@]}" >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target model_reader_fuzzer reader_oracle_fuzzer

# Runs fuzzer NAME over the seeds, and inputs that once crashed it, then
# fuzzes for SECONDS from its own copy of the seeds.
fuzz() {
    local name="$1" corpus="build/fuzz/corpus-$1" log="build/fuzz/$1.log"
    mkdir -p "$corpus" build/fuzz/crashes
    cp -n tests/fuzz/corpus/* "$corpus/"
    if compgen -G "tests/fuzz/crashes/*" >/dev/null; then
        "build/fuzz/$name" tests/fuzz/crashes/* >"$log" 2>&1 || { tail -n 40 "$log"; exit 1; }
    fi
    if ! "build/fuzz/$name" -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="build/fuzz/crashes/$name-" "$corpus" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz.sh: $name found a failing input (see $log and build/fuzz/crashes/)" >&2
        exit 1
    fi
    echo "== $name"
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::)' "$log"
}
fuzz model_reader_fuzzer
fuzz reader_oracle_fuzzer
