"""ONNX models for the evaluation tests, built on the shared builders in models.py."""

import numpy as np
from onnx import TensorProto, helper

from models import make_model, map_info, sequence_info, tensor_info

# numpy dtype name -> ONNX element type, for the ten kinds that cross in both directions.
ELEMENT_TYPES = {
    "float32": TensorProto.FLOAT,
    "float64": TensorProto.DOUBLE,
    "int8": TensorProto.INT8,
    "uint8": TensorProto.UINT8,
    "int16": TensorProto.INT16,
    "uint16": TensorProto.UINT16,
    "int32": TensorProto.INT32,
    "uint32": TensorProto.UINT32,
    "int64": TensorProto.INT64,
    "uint64": TensorProto.UINT64,
}


def identity(path, dtype="float32", shape=(2, 3), input_name="x", output_name="y"):
    """input_name -> Identity -> output_name for one numpy dtype."""
    elem = ELEMENT_TYPES[np.dtype(dtype).name]
    return make_model(
        path,
        [tensor_info(input_name, elem, shape)],
        [tensor_info(output_name, elem, shape)],
        [helper.make_node("Identity", [input_name], [output_name])],
    )


def cast(path, from_type, to_type, shape):
    """x (from_type) -> Cast -> y (to_type)."""
    return make_model(
        path,
        [tensor_info("x", from_type, shape)],
        [tensor_info("y", to_type, shape)],
        [helper.make_node("Cast", ["x"], ["y"], to=to_type)],
    )


def binary(path, op, names=("a", "b"), shape=(3,), elem_type=TensorProto.FLOAT):
    """names[0] op names[1] -> y."""
    return make_model(
        path,
        [tensor_info(n, elem_type, shape) for n in names],
        [tensor_info("y", elem_type, shape)],
        [helper.make_node(op, list(names), ["y"])],
    )


def with_extra_outputs(path, extra):
    """x -> Identity -> y, plus the outputs made by `extra`: a list of
    (value_info, node) pairs computed from x (float, shape (3,))."""
    outputs = [tensor_info("y", TensorProto.FLOAT, (3,))] + [info for info, _ in extra]
    nodes = [helper.make_node("Identity", ["x"], ["y"])] + [node for _, node in extra]
    return make_model(path, [tensor_info("x", TensorProto.FLOAT, (3,))], outputs, nodes)


def sequence_output():
    return sequence_info("seq", TensorProto.FLOAT, (3,)), helper.make_node("SequenceConstruct", ["x"], ["seq"])


def bool_output():
    return tensor_info("positive", TensorProto.BOOL, (3,)), helper.make_node("Greater", ["x", "zero"], ["positive"])


def string_output():
    return tensor_info("text", TensorProto.STRING, (3,)), helper.make_node(
        "Cast", ["x"], ["text"], to=TensorProto.STRING
    )


def map_output():
    """A map from int64 to float, built by the ML domain's ZipMap over the probabilities."""
    info = helper.make_value_info(
        "zipped",
        helper.make_sequence_type_proto(
            helper.make_map_type_proto(TensorProto.INT64, helper.make_tensor_type_proto(TensorProto.FLOAT, []))
        ),
    )
    node = helper.make_node(
        "ZipMap", ["x2d"], ["zipped"], domain="ai.onnx.ml", classlabels_int64s=[0, 1, 2]
    )
    return info, node


def mixed_outputs(path):
    """One float input; outputs: tensor y, a sequence, a bool tensor, a string
    tensor and a sequence of maps (ZipMap), in that declared order."""
    zero = helper.make_tensor("zero", TensorProto.FLOAT, [1], [0.0])
    shape_2d = helper.make_tensor("shape_2d", TensorProto.INT64, [2], [1, 3])
    extras = [sequence_output(), bool_output(), string_output(), map_output()]
    outputs = [tensor_info("y", TensorProto.FLOAT, (3,))] + [info for info, _ in extras]
    nodes = [
        helper.make_node("Identity", ["x"], ["y"]),
        helper.make_node("Reshape", ["x", "shape_2d"], ["x2d"]),
    ] + [node for _, node in extras]
    return make_model(path, [tensor_info("x", TensorProto.FLOAT, (3,))], outputs, nodes, [zero, shape_2d])


def no_outputs(path):
    """A graph that reads its input but declares no outputs."""
    return make_model(
        path, [tensor_info("x", TensorProto.FLOAT, (3,))], [], [helper.make_node("Identity", ["x"], ["unused"])]
    )


def two_outputs_in_order(path):
    """x -> Neg -> first, x -> Abs -> second (int32, int64 via Cast)."""
    return make_model(
        path,
        [tensor_info("x", TensorProto.FLOAT, (2, 2))],
        [tensor_info("negated", TensorProto.FLOAT, (2, 2)), tensor_info("as_int", TensorProto.INT32, (2, 2))],
        [
            helper.make_node("Neg", ["x"], ["negated"]),
            helper.make_node("Cast", ["x"], ["as_int"], to=TensorProto.INT32),
        ],
    )


def outputs_named(path, names):
    """x (float, (3,)) plus K for the K-th of `names`, each a declared
    output, in that order: each output's values tell which one it is."""
    constants = [helper.make_tensor(f"k{k}", TensorProto.FLOAT, [1], [float(k)]) for k in range(len(names))]
    nodes = [helper.make_node("Add", ["x", f"k{k}"], [name]) for k, name in enumerate(names)]
    outputs = [tensor_info(name, TensorProto.FLOAT, (3,)) for name in names]
    return make_model(path, [tensor_info("x", TensorProto.FLOAT, (3,))], outputs, nodes, constants)


def rows_of_three_inputs(path):
    """a: float32 [N, 2, 3], b: int64 [N], c: float32 [N, free] ->
    scaled = a * b (per row), ids = b + 1, c_out = c."""
    nodes = [
        helper.make_node("Cast", ["b"], ["b_float"], to=TensorProto.FLOAT),
        helper.make_node("Unsqueeze", ["b_float", "axes"], ["b_rows"]),
        helper.make_node("Mul", ["a", "b_rows"], ["scaled"]),
        helper.make_node("Add", ["b", "one"], ["ids"]),
        helper.make_node("Identity", ["c"], ["c_out"]),
    ]
    initializers = [helper.make_tensor("axes", TensorProto.INT64, [2], [1, 2]), helper.make_tensor("one", TensorProto.INT64, [], [1])]
    return make_model(
        path,
        [tensor_info("a", TensorProto.FLOAT, ("N", 2, 3)), tensor_info("b", TensorProto.INT64, ("N",)), tensor_info("c", TensorProto.FLOAT, ("N", "width"))],
        [tensor_info("scaled", TensorProto.FLOAT, ("N", 2, 3)), tensor_info("ids", TensorProto.INT64, ("N",)), tensor_info("c_out", TensorProto.FLOAT, ("N", "width"))],
        nodes,
        initializers,
    )


def sums_columns(path):
    """x: float32 [N, 4] -> y declared [N] but computed per column ([4]):
    an output that looks like one value per row and is not."""
    return make_model(
        path,
        [tensor_info("x", TensorProto.FLOAT, ("N", 4))],
        [tensor_info("y", TensorProto.FLOAT, ("N",))],
        [helper.make_node("ReduceSum", ["x", "axes"], ["y"], keepdims=0)],
        [helper.make_tensor("axes", TensorProto.INT64, [1], [0])],
    )


def onnxruntime_outputs(model, **inputs):
    """Every output of `model` for `inputs`, from onnxruntime's own Python API."""
    import onnxruntime

    session = onnxruntime.InferenceSession(str(model), providers=["CPUExecutionProvider"])
    names = [output.name for output in session.get_outputs()]
    return dict(zip(names, session.run(names, inputs)))
