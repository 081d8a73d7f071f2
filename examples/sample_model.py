"""Writes the sample model the demo runs: a small classifier head.

y = softmax(x @ W + b), with x a batch of 4-feature rows, three classes.
"""

import argparse

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

WEIGHTS = np.array(
    [[0.5, -0.2, 0.1], [0.3, 0.8, -0.5], [-0.6, 0.1, 0.9], [0.2, 0.2, 0.2]], dtype=np.float32
)
BIAS = np.array([0.1, 0.0, -0.1], dtype=np.float32)


def build() -> onnx.ModelProto:
    graph = helper.make_graph(
        [
            helper.make_node("MatMul", ["features", "weights"], ["logits_raw"]),
            helper.make_node("Add", ["logits_raw", "bias"], ["logits"]),
            helper.make_node("Softmax", ["logits"], ["probabilities"], axis=-1),
        ],
        "sample_classifier",
        [helper.make_tensor_value_info("features", TensorProto.FLOAT, ["batch", 4])],
        [
            helper.make_tensor_value_info("logits", TensorProto.FLOAT, ["batch", 3]),
            helper.make_tensor_value_info("probabilities", TensorProto.FLOAT, ["batch", 3]),
        ],
        initializer=[numpy_helper.from_array(WEIGHTS, "weights"), numpy_helper.from_array(BIAS, "bias")],
    )
    model = helper.make_model(
        graph,
        producer_name="qelmo sample",
        doc_string="A three-class linear classifier with softmax.",
        opset_imports=[helper.make_opsetid("", 13)],
    )
    model.domain = "ai.qelmo.sample"
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default="sample.onnx", help="the model file to write (default: sample.onnx)")
    onnx.save(build(), parser.parse_args().output)
