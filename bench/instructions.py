"""Counts the instructions one call costs, qelmo against onnxruntime's own
Python API, with valgrind's callgrind (counts repeat where times do not).

    python bench/instructions.py [--calls N]

Each case runs on each side in a child process under callgrind twice, with
N and 2N calls after the same warm-up; the calling thread's instructions of
the second run minus the first, divided by N, are one call's. The calls are
what a user does every time, as in bench/sides.py. Needs valgrind and the bench
extra.
"""

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import models  # noqa: E402

# The calls of bench/sides.py, but each side imports only its own library:
# two copies of ONNX Runtime in one process do not survive callgrind.
CHILD = r"""
import sys
import numpy as np
side, path, calls, shapes = sys.argv[1], sys.argv[2], int(sys.argv[3]), eval(sys.argv[4])
rng = np.random.default_rng(0)
inputs = {name: rng.standard_normal(shape).astype(np.float32) for name, shape in shapes.items()}
if side == "qelmo":
    import qelmo
    session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
    def call():
        for name, array in inputs.items():
            session.set_input(name, qelmo.QelmoValue(array))
        return {name: value.to_numpy() for name, value in session.evaluate().items()}
else:
    import onnxruntime
    session = onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"])
    def call():
        return session.run(None, inputs)
for _ in range(20):
    call()
for _ in range(calls):
    call()
"""

CASES = {
    "tiny": (models.tiny, {"x": (1, 8), "y": (1, 8)}),
    "many inputs": (models.many_inputs, {f"in{i}": (1, 16) for i in range(16)}),
}


def main_thread_instructions(side, path, calls, shapes, folder):
    out = os.path.join(folder, f"callgrind.{side}.{calls}")
    for stale in glob.glob(out + "*"):
        os.remove(stale)
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--separate-threads=yes", f"--callgrind-out-file={out}",
         sys.executable, "-c", CHILD, side, path, str(calls), repr(shapes)],
        check=True, capture_output=True,
        # Python's string hashing is seeded at random per process, which moves
        # the count of every dictionary operation; a fixed seed makes runs repeat.
        env=dict(os.environ, PYTHONHASHSEED="0", ORT_DISABLE_TELEMETRY="1"),
    )
    # Thread 1 is the one that makes the calls.
    (first,) = glob.glob(out + "-01")
    with open(first) as dump:
        return int(re.search(r"^(?:summary|totals): (\d+)", dump.read(), re.M).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qelmo-instructions-") as folder:
        print("| case | qelmo | peer | ratio |\n|---|---:|---:|---:|")
        for case, (build, shapes) in CASES.items():
            path = build(folder)
            per_call = {}
            for side in ("qelmo", "peer"):
                counts = [main_thread_instructions(side, path, n, shapes, folder) for n in (args.calls, 2 * args.calls)]
                per_call[side] = (counts[1] - counts[0]) / args.calls
            print(f"| {case} | {per_call['qelmo']:,.0f} | {per_call['peer']:,.0f} | "
                  f"{per_call['qelmo'] / per_call['peer']:.2f} |", flush=True)


if __name__ == "__main__":
    main()
