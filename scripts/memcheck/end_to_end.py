"""A short end-to-end run for valgrind: load, inspect, evaluate, and the
common failure paths, then drop everything."""

import os
import sys
import tempfile

import numpy as np
from onnx import TensorProto, helper, save

import qelmo


def write_model(path):
    graph = helper.make_graph(
        [helper.make_node("Add", ["a", "b"], ["y"]), helper.make_node("Cast", ["y"], ["i"], to=TensorProto.INT64)],
        "memcheck",
        [helper.make_tensor_value_info(n, TensorProto.FLOAT, ["n", 3]) for n in ("a", "b")],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["n", 3]),
         helper.make_tensor_value_info("i", TensorProto.INT64, ["n", 3])],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], producer_name="memcheck")
    model.ir_version = 8
    save(model, path)


def expect_failure(call):
    try:
        call()
    except (RuntimeError, TypeError, ValueError):
        return
    sys.exit(f"no failure from {call}")


with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "model.onnx")
    write_model(path)
    model = qelmo.QelmoModel(path)
    model.get_author(), model.get_input_details(), model.get_output_details()
    session = qelmo.QelmoSession(model, qelmo.CPU)
    a = np.arange(6, dtype=np.float32).reshape(2, 3)
    for _ in range(20):
        session.set_input("a", qelmo.QelmoValue(a))
        session.set_input("b", qelmo.QelmoValue(a[:, ::-1]))  # strided input
        outputs = session.evaluate()
        assert np.array_equal(outputs["y"].to_numpy(), a + a[:, ::-1])
    session.clear_input()

    broken = os.path.join(directory, "broken.onnx")
    with open(path, "rb") as f, open(broken, "wb") as out:
        out.write(f.read()[:40])
    expect_failure(lambda: qelmo.QelmoModel(broken))
    expect_failure(lambda: qelmo.QelmoModel(os.path.join(directory, "missing.onnx")))
    session.set_input("unknown", qelmo.QelmoValue(a))
    expect_failure(session.evaluate)
    session.clear_input()
    session.set_input("a", qelmo.QelmoValue(np.ones((2, 3), np.float64)))
    expect_failure(session.evaluate)
    del outputs, session, model
print("memcheck script done")
