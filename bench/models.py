"""The benchmark's models, written with onnx.helper into a given folder."""

import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
IR_VERSION = 8


def _save(graph, folder, file_name):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="bench")
    model.ir_version = IR_VERSION
    path = os.path.join(folder, file_name)
    onnx.save(model, path)
    return path


def _float(name, shape):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, list(shape))


def tiny(folder):
    """z = x + y on float32 [1, 8]."""
    graph = helper.make_graph(
        [helper.make_node("Add", ["x", "y"], ["z"])],
        "tiny",
        [_float("x", [1, 8]), _float("y", [1, 8])],
        [_float("z", [1, 8])],
    )
    return _save(graph, folder, "tiny.onnx")


def many_inputs(folder, inputs=16, width=16):
    """`inputs` float32 [1, width] inputs added pairwise into inputs/2 outputs."""
    names = [f"in{i}" for i in range(inputs)]
    nodes = [helper.make_node("Add", [names[2 * i], names[2 * i + 1]], [f"out{i}"]) for i in range(inputs // 2)]
    graph = helper.make_graph(
        nodes,
        "many_inputs",
        [_float(n, [1, width]) for n in names],
        [_float(f"out{i}", [1, width]) for i in range(inputs // 2)],
    )
    return _save(graph, folder, "many_inputs.onnx")


def mlp(folder, width=512, layers=3, seed=0):
    """Three MatMul+Add+Relu layers, `width` wide, any batch size."""
    rng = np.random.default_rng(seed)
    nodes, weights = [], []
    current = "x"
    for layer in range(layers):
        w = (rng.standard_normal((width, width)) / np.sqrt(width)).astype(np.float32)
        b = (rng.standard_normal(width) * 0.1).astype(np.float32)
        weights += [numpy_helper.from_array(w, f"w{layer}"), numpy_helper.from_array(b, f"b{layer}")]
        nodes += [
            helper.make_node("MatMul", [current, f"w{layer}"], [f"m{layer}"]),
            helper.make_node("Add", [f"m{layer}", f"b{layer}"], [f"a{layer}"]),
            helper.make_node("Relu", [f"a{layer}"], ["y" if layer == layers - 1 else f"h{layer}"]),
        ]
        current = f"h{layer}"
    graph = helper.make_graph(nodes, "mlp", [_float("x", ["batch", width])], [_float("y", ["batch", width])],
                              initializer=weights)
    return _save(graph, folder, "mlp.onnx")


def conv(folder, channels=32, size=128, layers=3, seed=0):
    """Three 3x3 convolutions (padding 1) with `channels` channels on [1, 3, size, size]."""
    rng = np.random.default_rng(seed)
    nodes, weights = [], []
    current, depth = "x", 3
    for layer in range(layers):
        w = (rng.standard_normal((channels, depth, 3, 3)) / np.sqrt(depth * 9)).astype(np.float32)
        b = (rng.standard_normal(channels) * 0.1).astype(np.float32)
        weights += [numpy_helper.from_array(w, f"w{layer}"), numpy_helper.from_array(b, f"b{layer}")]
        out = "y" if layer == layers - 1 else f"c{layer}"
        nodes.append(helper.make_node("Conv", [current, f"w{layer}", f"b{layer}"], [out], pads=[1, 1, 1, 1]))
        current, depth = out, channels
    graph = helper.make_graph(nodes, "conv", [_float("x", [1, 3, size, size])],
                              [_float("y", [1, channels, size, size])], initializer=weights)
    return _save(graph, folder, "conv.onnx")


def identity(folder):
    """y = x on float32 of any length."""
    graph = helper.make_graph(
        [helper.make_node("Identity", ["x"], ["y"])], "identity", [_float("x", ["n"])], [_float("y", ["n"])]
    )
    return _save(graph, folder, "identity.onnx")


def heavy_weights(folder, megabytes=200, seed=0):
    """x [1, k] MatMul W [k, k], W holding about `megabytes` of float32 weights."""
    k = int(np.sqrt(megabytes * 1024 * 1024 / 4))
    w = np.random.default_rng(seed).standard_normal((k, k), dtype=np.float32)
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["x", "w"], ["y"])],
        "heavy_weights",
        [_float("x", [1, k])],
        [_float("y", [1, k])],
        initializer=[numpy_helper.from_array(w, "w")],
    )
    return _save(graph, folder, "heavy_weights.onnx")
