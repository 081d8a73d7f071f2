#!/usr/bin/env bash
# Fuzzes the model load path for SECONDS (default 60) with libFuzzer.
# Needs clang and its libFuzzer runtime (Debian: clang, libclang-rt-dev).
# The seed corpus in tests/fuzz/corpus is copied, never grown in place; new
# inputs stay in build/fuzz/corpus, crashing inputs land in build/fuzz/crashes
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
if ! clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
    if [[ "$(id -u)" -ne 0 ]] || ! command -v apt-get >/dev/null; then
        echo "fuzz.sh: needs clang and its libFuzzer runtime (Debian and Ubuntu: apt-get install clang libclang-rt-dev)" >&2
        exit 1
    fi
    echo "fuzz.sh: installing clang and its libFuzzer runtime"
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clang libclang-rt-dev >/dev/null
fi

./scripts/fetch_onnxruntime_headers.sh
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQELMO_BUILD_MODULE=OFF -DQELMO_BUILD_FUZZERS=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target model_reader_fuzzer

mkdir -p build/fuzz/corpus build/fuzz/crashes
cp -n tests/fuzz/corpus/* build/fuzz/corpus/
# Inputs that once crashed must keep passing.
if compgen -G "tests/fuzz/crashes/*" >/dev/null; then
    build/fuzz/model_reader_fuzzer tests/fuzz/crashes/*
fi
log=build/fuzz/last_run.log
if ! build/fuzz/model_reader_fuzzer -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix=build/fuzz/crashes/ build/fuzz/corpus >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz.sh: the fuzzer found a failing input (see $log and build/fuzz/crashes/)" >&2
    exit 1
fi
grep -E '^(#[0-9]+[[:space:]]+DONE|stat::)' "$log"
