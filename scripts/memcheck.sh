#!/usr/bin/env bash
# valgrind memcheck over a short end-to-end run of the installed qelmo
# (scripts/memcheck/end_to_end.py). Fails on any invalid read or write, and on
# any definite leak or use of an uninitialised value whose stack passes
# through the module or the runtime; what CPython, numpy or ONNX Runtime keep
# for the process's lifetime is counted but not held against qelmo.
#   scripts/memcheck.sh [python]    (default: .venv/bin/python)
set -euo pipefail
cd "$(dirname "$0")/.."
python="${1:-.venv/bin/python}"
log="$(mktemp /tmp/qelmo_memcheck_XXXXXX.log)"

PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --num-callers=40 --suppressions=scripts/memcheck/suppressions.supp --log-file="$log" \
    "$python" scripts/memcheck/end_to_end.py

"$python" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
records = re.split(r"\n==\d+== \n", text)
def through_qelmo(record):
    return re.search(r"qelmo|Windows\.AI\.MachineLearning", record) is not None

invalid = [r for r in records if re.search(r"Invalid (read|write|free)|Mismatched free", r)]
# CPython's own code reads uninitialised bytes on purpose (valgrind's known noise).
uninitialised = [r for r in records if "uninitialised" in r]
leaks = [r for r in records if "definitely lost in loss record" in r]
ours = [r for r in uninitialised + leaks if through_qelmo(r)]
print(f"memcheck: {len(invalid)} invalid accesses, {len(uninitialised)} uses of uninitialised values and "
      f"{len(leaks)} definite leak records, {len(ours)} of them through qelmo; log in {sys.argv[1]}")
for record in invalid + ours:
    print(record)
sys.exit(1 if invalid or ours else 0)
PY
