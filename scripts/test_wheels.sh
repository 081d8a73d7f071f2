#!/usr/bin/env bash
# Tests the wheels in dist/ (made by scripts/build_wheels.sh) as users get
# them, those for other machines (aarch64) under qemu's emulation:
#   - every wheel, qelmo and qelmo-gpu, is checked without running it
#     (tests/packages/wheel_check.py): its record, metadata and tags, and its
#     libraries against the machine's glibc (no symbol newer than 2.28, no
#     C++ runtime) and against the Python API of its interpreter;
#   - each qelmo wheel for this machine, with the interpreter it was built
#     for: installed into a bare virtual environment, the qelmo tool runs
#     the sample model; with the test extra added (that interpreter's own
#     numpy, onnxruntime and onnx from the registry), the Python suite passes;
#   - each aarch64 qelmo wheel whose CPython Debian has (3.9.2, 3.11.2,
#     3.13.5; scripts/lib/foreign_python.sh) goes the same way under
#     emulation, with that interpreter's own aarch64 wheels: the whole suite
#     on 3.11, its core on the others (emulation is 3 to 10 times slower);
#   - the wheels not installed here (aarch64 for 3.10 and 3.12, whose CPython
#     no Debian release has, and qelmo-gpu, whose installs
#     scripts/test_gpu_packages.sh tries) have their requirements resolved
#     by pip for their interpreter and machine: exactly one ONNX Runtime
#     build, their own.
# Emulation needs root the first time (scripts/lib/emulation.sh). Extra
# arguments go to pytest. Exits non-zero if any wheel failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
source scripts/lib/pythons.sh
source scripts/lib/architectures.sh
source scripts/lib/foreign_python.sh
source scripts/lib/emulation.sh
export ORT_DISABLE_TELEMETRY=1

mapfile -t wheels < <(ls dist/qelmo-*.whl dist/qelmo_gpu-*.whl 2>/dev/null | sort -V)
if [[ ${#wheels[@]} -eq 0 ]]; then
    echo "test_wheels.sh: no wheels in dist/ (run scripts/build_wheels.sh)" >&2
    exit 1
fi
tools="$root/build/wheel-tools"
[[ -x "$tools/bin/python" ]] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q --upgrade pip "pyelftools>=0.29" "packaging>=24"
# Under emulation, on 3.11, the suite without what is the same on every
# machine and runs on this one (the typing checks, the README's examples)
# and without what runs for minutes emulated: Dask clusters, timing loops,
# several processes. On the others, the core: the module's surface,
# evaluation, real models, big models and the tool.
full_suite_python=3.11
emulated_full=(python --ignore=python/test_typing.py --ignore=python/test_readme.py --ignore=python/test_dask_example.py
               --ignore=python/test_dask_scoring.py --ignore=python/test_cli_score.py
               --deselect tests/python/test_cli_bench.py::test_bench_on_light_resnet50_writes_every_figure
               --deselect tests/python/test_cli_bench.py::test_bench_in_two_processes)
emulated_core=(python/test_module.py python/test_model.py python/test_session.py python/test_evaluate.py
               python/test_value.py python/test_real_models.py python/test_large_models.py python/test_cli.py
               python/test_external_data.py)

failures=()
results=()

wheel_machine() {
    local arch
    for arch in "${wheel_architectures[@]}"; do
        if wheel_is_for "$1" "$arch"; then echo "$arch"; fi
    done
}

# pip's --platform options for ARCH with glibc 2.GLIBC: the tags pip itself
# would accept there (given explicitly, pip takes only the tags named).
platform_options() {
    local arch="$1" glibc="$2" minor
    echo --platform "manylinux2014_$arch"
    for ((minor = 17; minor <= glibc; minor++)); do echo --platform "manylinux_2_${minor}_$arch"; done
}

# The ELF files exporting the Python API of CPython VERSION on this machine:
# its libpython when it has one, else the interpreter.
host_python_exports() {
    "$1" -c 'import os, sys, sysconfig
library = os.path.join(sysconfig.get_config_var("LIBDIR") or "", sysconfig.get_config_var("LDLIBRARY") or "")
print(library if library.endswith(".so") or ".so." in library else os.path.realpath(sys.executable))'
}

# static_check WHEEL VERSION ARCH: wheel_check.py against the machine's
# system and the interpreter's exports (Debian's aarch64 CPython where there
# is one; else this machine's of the same version, whose API is the same).
static_check() {
    local wheel="$1" version="$2" arch="$3" system exports python
    python="$(find_python "$version")"
    if [[ "$arch" == "$host_architecture" ]]; then
        system=/
        exports="$(host_python_exports "$python")"
    elif [[ -n "$(debian_suite_of_python "$version")" ]]; then
        system="$(foreign_python_sysroot "$arch" "$version")" || return 1
        exports="$system/usr/bin/python$version"
    else
        system="$(foreign_python_sysroot "$arch" "$reference_python")" || return 1
        exports="$(host_python_exports "$python")"
    fi
    "$tools/bin/python" tests/packages/wheel_check.py "$wheel" --system "$system" --interpreter "$exports" | sed 's/^/ /'
}

# resolver_pip VERSION ARCH PIP-ARGUMENTS...: a current pip run by this
# machine's interpreter of VERSION, for resolving and downloading ARCH's
# wheels. pip takes the markers from the interpreter it runs in, whatever
# --python-version and --platform say: python_version is right by the choice
# of interpreter, and platform_machine is lent ARCH.
resolver_pip() {
    local version="$1" arch="$2" resolver="$root/build/wheel-test/resolver-$1"
    shift 2
    if [[ ! -x "$resolver/bin/python" ]]; then
        "$(find_python "$version")" -m venv "$resolver" && "$resolver/bin/python" -m pip install -q --upgrade pip
    fi
    "$resolver/bin/python" -c 'import platform, sys
machine = sys.argv.pop(1)
platform.machine = lambda: machine
from pip._internal.cli.main import main
sys.exit(main())' "$arch" "$@"
}

# resolves WHEEL VERSION ARCH: pip resolves its requirements for a current
# system of that machine, to its own ONNX Runtime build alone.
resolves() {
    local wheel="$1" version="$2" arch="$3" report
    report="$(mktemp)"
    # shellcheck disable=SC2046
    if ! resolver_pip "$version" "$arch" install -q --dry-run --ignore-installed --target "$(mktemp -d -u)" \
            $(platform_options "$arch" 39) --python-version "$version" --implementation cp --only-binary=:all: \
            --report "$report" "$wheel" 2>"$report.log"; then
        grep -v '^WARNING: Location' "$report.log" | tail -n 5 >&2
        rm -f "$report" "$report.log"
        return 1
    fi
    "$tools/bin/python" - "$report" "$wheel" <<'PY'
import json, os, sys
installs = {item["metadata"]["name"]: item["metadata"]["version"] for item in json.load(open(sys.argv[1]))["install"]}
own = "onnxruntime-gpu" if os.path.basename(sys.argv[2]).startswith("qelmo_gpu-") else "onnxruntime"
builds = sorted(name for name in installs if name in ("onnxruntime", "onnxruntime-gpu"))
print(f"   pip resolves it to {', '.join(f'{name} {installs[name]}' for name in builds) or 'no ONNX Runtime'}"
      f" ({len(installs)} packages)")
sys.exit(0 if builds == [own] else 1)
PY
    local status=$?
    rm -f "$report" "$report.log"
    return $status
}

# run_suite NAME ENV_PYTHON PYTEST_ARGS...: the suite from tests/, so that
# only the installed qelmo is seen.
run_suite() {
    local name="$1" python="$2" log
    shift 2
    log="$(dirname "$(dirname "$python")")/pytest.log"
    (cd tests && QELMO_WHEEL_DIR="$root/dist" "$python" -m pytest -q -p no:cacheprovider -m "not packaging" \
        "$@" "${extra_pytest[@]}") >"$log" 2>&1
    local status=$?
    outcome="$(tail -n 1 "$log")"
    echo "   $outcome"
    if [[ $status -ne 0 ]]; then
        grep -E '^(FAILED|ERROR)' "$log" | head -n 20
        failures+=("$name: tests")
    fi
}

stack_of() {
    "$1" -c 'import numpy, onnxruntime, platform
print(f"Python {platform.python_version()} ({platform.machine()}), numpy {numpy.__version__}, onnxruntime {onnxruntime.__version__}")'
}

test_here() {
    local wheel="$1" version="$2" python env
    python="$(find_python "$version")"
    env="$root/build/wheel-test/$host_architecture-$version"
    rm -rf "$env"
    "$python" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    if ! "$env/bin/python" -m pip install -q "$wheel" || ! (cd "$env" && bin/qelmo >/dev/null); then
        failures+=("$name: bare install")
        return
    fi
    if ! "$env/bin/python" -m pip install -q "$wheel[test]"; then
        failures+=("$name: test extra")
        return
    fi
    stack="$(stack_of "$env/bin/python")"
    echo "   $stack"
    run_suite "$name" "$env/bin/python" python
}

# Under emulation pip itself runs emulated, from its wheel, installing from
# a folder of wheels that pip here downloaded for that interpreter.
test_emulated() {
    local wheel="$1" version="$2" arch="$3" sysroot
    if ! enable_emulation "$arch" || ! sysroot="$(foreign_python_sysroot "$arch" "$version")"; then
        failures+=("$name: no emulation")
        return
    fi
    # Every aarch64 program started from here on runs with these.
    export QEMU_LD_PREFIX="$sysroot" QEMU_CPU="$(qemu_cpu "$arch")"
    install_and_test_emulated "$wheel" "$version" "$arch" "$sysroot"
    unset QEMU_LD_PREFIX QEMU_CPU
}

install_and_test_emulated() {
    local wheel="$1" version="$2" arch="$3" sysroot="$4" env wheelhouse glibc scope
    env="$root/build/wheel-test/$arch-$version"
    wheelhouse="$env-wheels"
    rm -rf "$env" "$wheelhouse"
    mkdir -p "$wheelhouse"
    glibc="$("$sysroot/usr/bin/python$version" -c 'import platform; print(platform.libc_ver()[1].split(".")[1])')"
    # shellcheck disable=SC2046
    if ! resolver_pip "$version" "$arch" download -q -d "$wheelhouse" --only-binary=:all: $(platform_options "$arch" "$glibc") \
            --python-version "$version" --implementation cp "$wheel[test]" pip >"$wheelhouse/download.log" 2>&1; then
        grep -v '^WARNING: Location' "$wheelhouse/download.log" | tail -n 5
        failures+=("$name: downloads")
        return
    fi
    "$sysroot/usr/bin/python$version" -m venv --without-pip "$env"
    local pip=("$env/bin/python" "$(ls "$wheelhouse"/pip-*.whl)/pip" install -q --no-index --find-links "$wheelhouse")
    if ! "${pip[@]}" "$wheel" || ! (cd "$env" && bin/qelmo >/dev/null); then
        failures+=("$name: bare install")
        return
    fi
    if ! "${pip[@]}" "$wheel[test]"; then
        failures+=("$name: test extra")
        return
    fi
    stack="$(stack_of "$env/bin/python"), emulated as a $QEMU_CPU"
    echo "   $stack"
    if [[ "$version" == "$full_suite_python" ]]; then scope=("${emulated_full[@]}"); else scope=("${emulated_core[@]}"); fi
    run_suite "$name" "$env/bin/python" "${scope[@]}"
}

extra_pytest=("$@")
for wheel in "${wheels[@]}"; do
    version="$(python_of_wheel "$wheel")"
    arch="$(wheel_machine "$wheel")"
    name="$(basename "$wheel")"
    echo "== $name"
    if [[ -z "$(find_python "$version")" ]]; then
        failures+=("$name: no CPython $version here")
        continue
    fi
    started=$SECONDS
    static_check "$wheel" "$version" "$arch" || failures+=("$name: static checks")
    stack="checked, not installed"
    outcome=""
    if [[ "$name" == qelmo_gpu-* ]]; then
        resolves "$wheel" "$version" "$arch" || failures+=("$name: requirements")
    elif [[ "$arch" == "$host_architecture" ]]; then
        test_here "$wheel" "$version"
    elif [[ -n "$(debian_suite_of_python "$version")" ]]; then
        test_emulated "$wheel" "$version" "$arch"
    else
        resolves "$wheel" "$version" "$arch" || failures+=("$name: requirements")
        stack="checked, not run: no CPython $version for $arch here"
    fi
    results+=("$name: $stack${outcome:+: $outcome} [$((SECONDS - started)) s in all]")
done

echo
printf '%s\n' "${results[@]}"
if [[ ${#failures[@]} -gt 0 ]]; then
    printf 'test_wheels.sh: failed: %s\n' "${failures[@]}" >&2
    exit 1
fi
