#!/usr/bin/env bash
# valgrind memcheck over a short end-to-end run of the installed qelmo
# (scripts/memcheck/end_to_end.py). Fails on any invalid read or write, and on
# any definite leak whose allocation stack passes through the module or the
# runtime; leaks that CPython, numpy or ONNX Runtime keep for the process's
# lifetime are counted but not held against qelmo.
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
invalid = [r for r in records if re.search(r"Invalid (read|write)|Invalid free|uninitialised", r)]
leaks = [r for r in records if "definitely lost in loss record" in r]
ours = [r for r in leaks if re.search(r"qelmo|Windows\.AI\.MachineLearning", r)]
print(f"memcheck: {len(invalid)} invalid accesses, {len(leaks)} definite leak records "
      f"({len(ours)} through qelmo); log in {sys.argv[1]}")
for record in invalid + ours:
    print(record)
sys.exit(1 if invalid or ours else 0)
PY
