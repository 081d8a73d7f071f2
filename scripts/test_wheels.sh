#!/usr/bin/env bash
# Tests the wheels in dist/ (made by scripts/build_wheels.sh) as users get
# them. For each wheel, with the interpreter it was built for:
#   - its libraries need no libstdc++ and no glibc symbol newer than 2.28;
#   - installed into a bare virtual environment, the qelmo tool runs the
#     sample model;
#   - with the test extra added (that interpreter's own numpy, onnxruntime
#     and onnx from the registry), the Python suite passes against it.
# Extra arguments go to pytest. Exits non-zero if any wheel failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
source scripts/lib/pythons.sh

mapfile -t wheels < <(ls dist/qelmo-*.whl 2>/dev/null | sort -V)
if [[ ${#wheels[@]} -eq 0 ]]; then
    echo "test_wheels.sh: no wheels in dist/ (run scripts/build_wheels.sh)" >&2
    exit 1
fi

# Fails when a library of the wheel needs the C++ runtime of the machine it
# was built on or a glibc symbol version above 2.28.
check_libraries() {
    local wheel="$1" unpacked library problems=0
    unpacked="$(mktemp -d)"
    python3 -m zipfile -e "$wheel" "$unpacked"
    while IFS= read -r library; do
        local needed versions newest
        needed="$(readelf -d "$library" | grep NEEDED | grep -oE '\[[^]]+\]' | tr -d '[]' | tr '\n' ' ')"
        versions="$(objdump -T "$library" | grep -oE '(GLIBC|GLIBCXX|CXXABI)_[0-9.]+' | sort -uV)"
        newest="$(grep -E '^GLIBC_' <<<"$versions" | sort -V | tail -n 1)"
        echo "   ${library#"$unpacked"/}: needs $needed(newest glibc symbol ${newest:-none})"
        if grep -qE 'libstdc\+\+|libgcc_s' <<<"$needed" || grep -qE '^(GLIBCXX|CXXABI)_' <<<"$versions"; then
            echo "   ... needs the build machine's C++ runtime" >&2
            problems=1
        fi
        if [[ -n "$newest" && "$(printf '%s\nGLIBC_2.28\n' "$newest" | sort -V | tail -n 1)" != GLIBC_2.28 ]]; then
            echo "   ... needs glibc newer than 2.28 ($newest)" >&2
            problems=1
        fi
    done < <(find "$unpacked" -name '*.so' | sort)
    rm -rf "$unpacked"
    return "$problems"
}

failures=()
results=()
for wheel in "${wheels[@]}"; do
    version="$(python_of_wheel "$wheel")"
    python="$(find_python "$version")"
    echo "== $(basename "$wheel")"
    if [[ -z "$python" ]]; then
        failures+=("$version: no interpreter")
        continue
    fi
    check_libraries "$wheel" || failures+=("$version: libraries")

    env="$root/build/wheel-test/$version"
    rm -rf "$env"
    "$python" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    if ! "$env/bin/python" -m pip install -q "$wheel" || ! (cd "$env" && bin/qelmo >/dev/null); then
        failures+=("$version: bare install")
        continue
    fi
    if ! "$env/bin/python" -m pip install -q "$wheel[test]"; then
        failures+=("$version: test extra")
        continue
    fi
    stack="$(ORT_DISABLE_TELEMETRY=1 "$env/bin/python" -c 'import numpy, onnxruntime, platform
print(f"Python {platform.python_version()}, numpy {numpy.__version__}, onnxruntime {onnxruntime.__version__}")')"
    echo "   $stack"
    # The suite runs from tests/ so that only the installed qelmo is seen.
    log="$env/pytest.log"
    (cd tests && QELMO_WHEEL_DIR="$root/dist" "$env/bin/python" -m pytest -q -p no:cacheprovider \
        -m "not packaging" python "$@") >"$log" 2>&1
    status=$?
    outcome="$(tail -n 1 "$log")"
    echo "   $outcome"
    if [[ $status -ne 0 ]]; then
        grep -E '^(FAILED|ERROR)' "$log" | head -n 20
        failures+=("$version: tests")
    fi
    results+=("$(basename "$wheel"): $stack: $outcome")
done

echo
printf '%s\n' "${results[@]}"
if [[ ${#failures[@]} -gt 0 ]]; then
    printf 'test_wheels.sh: failed: %s\n' "${failures[@]}" >&2
    exit 1
fi
