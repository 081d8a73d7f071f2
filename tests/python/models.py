"""Builders of small ONNX files for the tests, made with onnx.helper.

The runtime reports producer_name as the author, the graph name as the name,
domain as the domain and doc_string as the description.
"""

import os

import onnx
from onnx import TensorProto, helper

OPSET = 13
IR_VERSION = 8


def tensor_info(name, elem_type=TensorProto.FLOAT, shape=(1,)):
    """A tensor value info; `shape` entries may be ints, symbolic names or None."""
    return helper.make_tensor_value_info(name, elem_type, None if shape is None else list(shape))


def image_info(name, shape=(1, 3, 224, 224), elem_type=TensorProto.FLOAT):
    """A tensor value info marked as an image (denotation "IMAGE", four dimensions)."""
    info = tensor_info(name, elem_type, shape)
    info.type.denotation = "IMAGE"
    return info


def sequence_info(name, elem_type=TensorProto.FLOAT, shape=(1,)):
    element = helper.make_tensor_type_proto(elem_type, list(shape))
    return helper.make_value_info(name, helper.make_sequence_type_proto(element))


def map_info(name, key_type=TensorProto.INT64, value_elem_type=TensorProto.FLOAT):
    value = helper.make_tensor_type_proto(value_elem_type, [1])
    return helper.make_value_info(name, helper.make_map_type_proto(key_type, value))


def make_model(
    path,
    inputs=(),
    outputs=(),
    nodes=(),
    initializers=(),
    *,
    graph_name="graph",
    producer_name=None,
    domain=None,
    doc_string=None,
    metadata=None,
    opset=OPSET,
):
    """Writes a model to `path` and returns the path as a str.

    The graph is written as given: no checker runs, so features of any kind can
    be declared without nodes that produce or consume them.
    """
    graph = helper.make_graph(list(nodes), graph_name, list(inputs), list(outputs), list(initializers))
    opsets = [helper.make_opsetid("", opset), helper.make_opsetid("ai.onnx.ml", 3)]
    model = helper.make_model(graph, opset_imports=opsets)
    model.ir_version = IR_VERSION
    if producer_name is not None:
        model.producer_name = producer_name
    if domain is not None:
        model.domain = domain
    if doc_string is not None:
        model.doc_string = doc_string
    if metadata:
        helper.set_model_props(model, dict(metadata))
    onnx.save(model, os.fspath(path))
    return os.fspath(path)


def identity_model(path, elem_type=TensorProto.FLOAT, shape=(2, 3), **kwargs):
    """x -> Identity -> y, with the given element type and shape."""
    return make_model(
        path,
        [tensor_info("x", elem_type, shape)],
        [tensor_info("y", elem_type, shape)],
        [helper.make_node("Identity", ["x"], ["y"])],
        **kwargs,
    )
