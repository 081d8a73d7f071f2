#!/usr/bin/env bash
# The GPU check: on a Linux machine with an NVIDIA GPU, installs qelmo-gpu
# with onnxruntime-gpu into a fresh virtual environment and checks, printing
# a summary at the end (about 3 minutes on an H100):
#   1. device truth: a GPU session runs on the CUDA provider and the runtime
#      says so; a CPU-only process maps no CUDA library; with CUDA and cuDNN
#      from NVIDIA's pip packages alone (when their wheels are given and the
#      script runs as root, the system's CUDA is hidden from the loader for
#      that check), GPU sessions still run on the GPU;
#   2. the ONNX backend's test cases on the GPU against onnxruntime's CUDA
#      session;
#   3. GPU memory and resident memory flat over a few thousand evaluations;
#   4. bench/device.py on the GPU and on this machine's CPU cores.
#
#   scripts/gpu_check.sh [WHEEL_FOLDER]
#
# WHEEL_FOLDER (default dist/) holds the qelmo-gpu wheel for this python3 and
# machine (made by scripts/build_wheels.sh; built here when missing and a
# compiler and the registry are at hand), onnxruntime-gpu's wheel and whatever else the
# machine lacks (tqdm; nvidia-* wheels for the pip-only check). Nothing is
# fetched when everything is there: GPU machines often reach no registry.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
wheels="$(realpath "${1:-dist}")"
python="${PYTHON:-python3}"
work="$(mktemp -d /tmp/qelmo-gpu-check-XXXXXX)"
summary=()
failed=0
record() {  # record NAME STATUS DETAIL
    summary+=("$(printf '%-34s %-4s %s' "$1" "$2" "$3")")
    [[ "$2" == FAIL ]] && failed=1
    return 0
}

tag="$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
machine="$(uname -m)"
wheel="$(ls "$wheels"/qelmo_gpu-*-"$tag"-*_"$machine".whl 2>/dev/null | sort -V | tail -n 1)"
if [[ -z "$wheel" ]]; then
    echo "no qelmo-gpu $tag wheel in $wheels: building one"
    ./scripts/build_wheels.sh "${tag:2:1}.${tag:3}" "$machine" && wheel="$(ls dist/qelmo_gpu-*-"$tag"-*_"$machine".whl | sort -V | tail -n 1)"
fi
gpu_wheel="$(ls "$wheels"/onnxruntime_gpu-*-"$tag"-*_"$machine".whl 2>/dev/null | sort -V | tail -n 1)"
[[ -n "$wheel" && -n "$gpu_wheel" ]] || { echo "gpu_check.sh: need the qelmo_gpu and onnxruntime_gpu $tag wheels in $wheels" >&2; exit 2; }
echo "qelmo-gpu: $(basename "$wheel")"
echo "onnxruntime-gpu: $(basename "$gpu_wheel")"
nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader || true

# The machine's numpy and onnx serve both sides; wheels come from the folder,
# the registry only for what neither has.
"$python" -m venv --system-site-packages "$work/env"
env_python="$work/env/bin/python"
pip_install() { "$env_python" -m pip install -q --no-warn-script-location --find-links "$wheels" "$@" 2>&1 | grep -v '^WARNING: Location'; }
pip_install --no-deps "$wheel" "$gpu_wheel"
"$env_python" -c 'import tqdm' 2>/dev/null || pip_install tqdm
nvidia_wheels=("$wheels"/nvidia_*.whl)
export ORT_DISABLE_TELEMETRY=1 PYTHONUNBUFFERED=1

echo "== 1. device truth"
truth="$("$env_python" - <<'PY'
import json, os, numpy as np, qelmo, qelmo_cli
from qelmo_cli.runtime_report import runtime_report
path = os.path.join(os.path.dirname(qelmo_cli.__file__), "sample.onnx")
session = qelmo.QelmoSession(qelmo.QelmoModel(path))   # the default device: the GPU
session.set_input("features", qelmo.QelmoValue(np.ones((1, 4), np.float32)))
session.evaluate()
report = runtime_report()
last = report["last_session"]
print(json.dumps({"used": last["used"], "reason": last["reason"], "outputs": last.get("outputs"),
                  "library": report["onnxruntime"]["library"]}))
PY
)"
echo "   $truth"
grep -q '"used": "gpu"' <<<"$truth" && record "default session on the GPU" ok "" || record "default session on the GPU" FAIL "$truth"
grep -q '"outputs": "page-locked"' <<<"$truth" && record "GPU outputs in page-locked memory" ok "" \
    || record "GPU outputs in page-locked memory" FAIL "$truth"
cpu_maps="$("$env_python" -c '
import os, numpy as np, qelmo, qelmo_cli
s = qelmo.QelmoSession(qelmo.QelmoModel(os.path.join(os.path.dirname(qelmo_cli.__file__), "sample.onnx")), qelmo.CPU)
s.set_input("features", qelmo.QelmoValue(np.ones((1, 4), np.float32))); s.evaluate()
maps = open("/proc/self/maps").read()
print(" ".join(n for n in ("providers_cuda", "libcuda.so", "libcudart", "libcublas", "libcudnn") if n in maps) or "none")')"
[[ "$cpu_maps" == none ]] && record "CPU-only process maps no CUDA" ok "" || record "CPU-only process maps no CUDA" FAIL "$cpu_maps"
"$work/env/bin/qelmo" run --device gpu | grep -E '^(device|evaluated)'

if [[ -e "${nvidia_wheels[0]}" && "$(id -u)" == 0 ]]; then
    pip_install --no-deps "${nvidia_wheels[@]}"
    # Hide the system's CUDA: a loader cache without its folders.
    cp /etc/ld.so.cache "$work/ld.so.cache.saved"
    trap 'cp "$work/ld.so.cache.saved" /etc/ld.so.cache' EXIT
    while read -r dir; do
        [[ -z "$dir" ]] && continue
        compgen -G "$dir/libcublas*" >/dev/null || compgen -G "$dir/libcudart*" >/dev/null || echo "$dir"
    done < <(grep -rhv '^#' /etc/ld.so.conf /etc/ld.so.conf.d/ 2>/dev/null | grep -v '^include') > "$work/ld.so.conf"
    ldconfig -f "$work/ld.so.conf"
    if ldconfig -p | grep -q libcublasLt; then
        pip_only="skipped: the system's CUDA is in a folder the loader always searches"
    else
        pip_only="$("$env_python" -c '
import os, numpy as np, qelmo, qelmo_cli
from qelmo_cli.runtime_report import runtime_report
s = qelmo.QelmoSession(qelmo.QelmoModel(os.path.join(os.path.dirname(qelmo_cli.__file__), "sample.onnx")), qelmo.GPU)
s.set_input("features", qelmo.QelmoValue(np.ones((1, 4), np.float32))); s.evaluate()
last = runtime_report()["last_session"]; print(last["used"], last["reason"])')"
    fi
    cp "$work/ld.so.cache.saved" /etc/ld.so.cache
    trap - EXIT
    echo "   CUDA from pip only: $pip_only"
    case "$pip_only" in
        gpu*) record "CUDA from NVIDIA's pip packages" ok "" ;;
        skipped*) record "CUDA from NVIDIA's pip packages" skip "${pip_only#skipped: }" ;;
        *) record "CUDA from NVIDIA's pip packages" FAIL "$pip_only" ;;
    esac
else
    record "CUDA from NVIDIA's pip packages" skip "no nvidia_* wheels given, or not root"
fi

echo "== 2. backend test cases on the GPU"
cases="$("$env_python" "$root/tests/packages/node_cases.py" --device gpu 2>&1 | tail -n 12)"
echo "$cases"
line="$(grep 'eligible pass' <<<"$cases")"
grep -q ' 0 failed' <<<"$cases" && record "backend cases on the GPU" ok "$line" || record "backend cases on the GPU" FAIL "$line"

echo "== 3. memory over 3000 GPU evaluations"
memory="$("$env_python" - "$root/bench" <<'PY'
import os, resource, subprocess, sys, tempfile
import numpy as np, qelmo
sys.path.insert(0, sys.argv[1]); import models
def gpu_used():
    out = subprocess.run(["nvidia-smi", "--query-compute-apps=pid,used_memory", "--format=csv,noheader,nounits"], capture_output=True, text=True).stdout
    return sum(int(used) for pid, used in (l.split(", ") for l in out.strip().splitlines()) if int(pid) == os.getpid())
def rss():
    return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") >> 20
with tempfile.TemporaryDirectory() as folder:
    model = qelmo.QelmoModel(models.conv(folder))
    x = np.random.default_rng(0).standard_normal((1, 3, 128, 128)).astype(np.float32)
    def evaluations(n):
        for _ in range(n):
            s.set_input("x", qelmo.QelmoValue(x)); s.evaluate()
    s = qelmo.QelmoSession(model, qelmo.GPU); evaluations(200)
    before = (gpu_used(), rss())
    evaluations(3000)
    for _ in range(20):
        s = qelmo.QelmoSession(model, qelmo.GPU); evaluations(5)
    after = (gpu_used(), rss())
print(f"GPU memory {before[0]} -> {after[0]} MiB, RSS {before[1]} -> {after[1]} MiB")
PY
)"
echo "   $memory"
flat="$(sed -E 's/GPU memory ([0-9]+) -> ([0-9]+) MiB, RSS ([0-9]+) -> ([0-9]+) MiB/\1 \2 \3 \4/' <<<"$memory")"
read -r g0 g1 r0 r1 <<<"$flat"
if [[ -n "${r1:-}" ]] && (( g1 - g0 <= 16 && r1 - r0 <= 32 )); then record "memory flat" ok "$memory"; else record "memory flat" FAIL "$memory"; fi

echo "== 4. speed, qelmo/peer (below 1: qelmo faster)"
for device in gpu cpu; do
    "$env_python" "$root/bench/device.py" --device "$device" --seconds 1.5 --json "$work/bench-$device.json"
    worst="$("$env_python" -c "
import json, sys; rows = json.load(open(sys.argv[1]))['rows']
goal = lambda case: 1.3 if case == 'big-io' and sys.argv[2] == 'gpu' else 1.0
over = [f\"{r['case']} {r['ratio']:.2f}\" for r in rows if r['ratio'] > goal(r['case'])]
print('; '.join(over) if over else 'all within goal')" "$work/bench-$device.json" "$device")"
    [[ "$worst" == "all within goal" ]] && record "$device bench ratios" ok "" || record "$device bench ratios" over "$worst"
done

echo
echo "== summary ($(nproc) cores)"
printf '%s\n' "${summary[@]}"
rm -rf "$work"
exit "$failed"
