"""Evaluates a small model many times and prints resident memory as it goes.

Resident memory should stay flat once the first few thousand evaluations have
warmed up the allocators; growth after that points at a leak in the module or
the runtime.

    python scripts/memory_check.py [--iterations 100000] [--report-every 10000]
"""

import argparse
import os
import sys
import tempfile

import numpy as np
import onnx
from onnx import TensorProto, helper

import qelmo


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def small_model(path):
    """y = relu(x) + b; z = argmax(x) (float and int64 outputs, two inputs)."""
    graph = helper.make_graph(
        [
            helper.make_node("Relu", ["x"], ["r"]),
            helper.make_node("Add", ["r", "b"], ["y"]),
            helper.make_node("ArgMax", ["x"], ["z"], axis=1),
        ],
        "memory_check",
        [
            helper.make_tensor_value_info("x", TensorProto.FLOAT, [4, 16]),
            helper.make_tensor_value_info("b", TensorProto.FLOAT, [16]),
        ],
        [
            helper.make_tensor_value_info("y", TensorProto.FLOAT, [4, 16]),
            helper.make_tensor_value_info("z", TensorProto.INT64, [4, 1]),
        ],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.save(model, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--report-every", type=int, default=10_000)
    parser.add_argument("--warm-up", type=int, default=10_000)
    parser.add_argument("--tolerance-kib", type=int, default=2048, help="growth allowed after warm-up")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "small.onnx")
        small_model(path)
        session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)

    rng = np.random.default_rng(0)
    x = rng.standard_normal((4, 16)).astype(np.float32)
    b = rng.standard_normal(16).astype(np.float32)
    expected = np.maximum(x, 0) + b
    session.set_input("b", qelmo.QelmoValue(b))

    print(f"{'iterations':>10} {'RSS KiB':>10}")
    print(f"{0:>10} {resident_kib():>10}")
    after_warm_up = None
    for i in range(1, args.iterations + 1):
        # A new value every time, and a transposed view now and then, so
        # that both the staging and the contiguous-copy paths are exercised.
        staged = x if i % 2 else np.ascontiguousarray(x.T).T
        session.set_input("x", qelmo.QelmoValue(staged))
        outputs = session.evaluate()
        if i % args.report_every == 0:
            np.testing.assert_allclose(outputs["y"].to_numpy(), expected, rtol=1e-6)
            print(f"{i:>10} {resident_kib():>10}", flush=True)
        if i == args.warm_up:
            after_warm_up = resident_kib()

    growth = resident_kib() - after_warm_up
    print(f"growth after warm-up: {growth} KiB")
    return 0 if growth <= args.tolerance_kib else 1


if __name__ == "__main__":
    sys.exit(main())
