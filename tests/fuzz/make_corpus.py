"""Writes the model reader fuzzer's seed corpus: small ONNX files, each
exercising a different part of the format (metadata, symbolic and image
shapes, sequences and maps, initializers, sparse and external tensors,
tensors in other files wherever they can live, data locations written as
only protobuf reads them, subgraphs). Run: python tests/fuzz/make_corpus.py [directory]
"""

import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = [helper.make_opsetid("", 13)]


def model(nodes, inputs, outputs, initializers=(), name="graph", **fields):
    graph = helper.make_graph(list(nodes), name, list(inputs), list(outputs), initializer=list(initializers))
    made = helper.make_model(graph, opset_imports=OPSET, ir_version=8, **fields)
    return made


def tensor(name, elem_type=TensorProto.FLOAT, shape=(1,)):
    return helper.make_tensor_value_info(name, elem_type, None if shape is None else list(shape))


def seeds():
    yield "add", model(
        [helper.make_node("Add", ["a", "b"], ["sum"])],
        [tensor("a", shape=(2, 3)), tensor("b", shape=(2, 3))],
        [tensor("sum", shape=(2, 3))],
    )

    with_metadata = model(
        [helper.make_node("Identity", ["x"], ["y"])],
        [tensor("x", shape=("batch", 4))],
        [tensor("y", shape=("batch", 4))],
        name="named \u00e9\u4e2d",
        producer_name="maker",
        producer_version="1.0",
        domain="org.example",
        doc_string="a description",
        model_version=7,
    )
    helper.set_model_props(with_metadata, {"license": "none", "\u00fc": "\U0001f600"})
    yield "metadata", with_metadata

    image = tensor("image", shape=(1, 3, 8, 8))
    image.type.denotation = "IMAGE"
    yield "image", model([helper.make_node("Relu", ["image"], ["out"])], [image], [tensor("out", shape=None)])

    element = helper.make_tensor_type_proto(TensorProto.FLOAT, [2])
    sequence = helper.make_value_info("items", helper.make_sequence_type_proto(element))
    mapping = helper.make_value_info(
        "table", helper.make_map_type_proto(TensorProto.INT64, helper.make_tensor_type_proto(TensorProto.FLOAT, [1]))
    )
    yield "sequence_map", model(
        [helper.make_node("SequenceLength", ["items"], ["count"])],
        [sequence, mapping],
        [tensor("count", TensorProto.INT64, shape=())],
    )

    weights = numpy_helper.from_array(np.arange(6, dtype=np.float32).reshape(2, 3), "w")
    yield "initializer", model(
        [helper.make_node("MatMul", ["x", "w"], ["y"])],
        [tensor("x", shape=(1, 2)), tensor("w", shape=(2, 3))],
        [tensor("y", shape=(1, 3))],
        initializers=[weights],
    )

    external = numpy_helper.from_array(np.ones(4, dtype=np.float32), "bias")
    external.data_location = TensorProto.EXTERNAL
    external.ClearField("raw_data")
    entry = external.external_data.add()
    entry.key, entry.value = "location", "bias.bin"
    sparse = helper.make_sparse_tensor(
        helper.make_tensor("values", TensorProto.FLOAT, [1], [2.0]),
        helper.make_tensor("indices", TensorProto.INT64, [1], [0]),
        [4],
    )
    external_model = model(
        [helper.make_node("Add", ["x", "bias"], ["y"])],
        [tensor("x", shape=(4,))],
        [tensor("y", shape=(4,))],
        initializers=[external],
    )
    external_model.graph.sparse_initializer.append(sparse)
    yield "external_sparse", external_model

    # Tensors in another file wherever they can live, as the fuzzer's
    # weights.bin (16 bytes) beside the model would hold them.
    def stored(name, offset=None, length=None):
        made = numpy_helper.from_array(np.ones(2, dtype=np.float32), name)
        made.ClearField("raw_data")
        made.data_location = TensorProto.EXTERNAL
        for key, value in (("location", "weights.bin"), ("offset", offset), ("length", length)):
            if value is not None:
                entry = made.external_data.add()
                entry.key, entry.value = key, str(value)
        return made

    branch_out = tensor("b", shape=(2,))
    then_branch = helper.make_graph(
        [helper.make_node("Add", ["x", "k"], ["b"])], "then", [], [branch_out], [stored("k")]
    )
    else_branch = helper.make_graph([helper.make_node("Identity", ["x"], ["b"])], "else", [], [branch_out])
    function = helper.make_function(
        "local", "AddStored", ["a"], ["s"],
        [helper.make_node("Constant", [], ["f"], value=stored("f", 8)), helper.make_node("Add", ["a", "f"], ["s"])],
        OPSET,
    )
    stored_model = model(
        [
            helper.make_node("Constant", [], ["c"], value=stored("c", 0, 8)),
            helper.make_node("Add", ["x", "w"], ["xw"]),
            helper.make_node("If", ["flag"], ["xb"], then_branch=then_branch, else_branch=else_branch),
            helper.make_node("AddStored", ["xb"], ["y"], domain="local"),
        ],
        [tensor("x", shape=(2,)), tensor("flag", TensorProto.BOOL, shape=())],
        [tensor("y", shape=(2,))],
        initializers=[stored("w", 8, 8)],
        functions=[function],
    )
    stored_model.opset_import.append(helper.make_opsetid("local", 1))
    stored_model.graph.sparse_initializer.append(
        helper.make_sparse_tensor(stored("sparse_values"), numpy_helper.from_array(np.array([0, 1]), "i"), [4])
    )
    yield "external_data", stored_model

    # The default of a function's attribute, and a training graph's
    # initializer: places a reader may forget.
    defaults = helper.make_function(
        "local", "Scaled", ["a"], ["s"], [helper.make_node("Mul", ["a", "alpha"], ["s"])], OPSET,
        attributes=[], attribute_protos=[helper.make_attribute("alpha", stored("alpha"))],
    )
    training = onnx.TrainingInfoProto()
    training.initialization.CopyFrom(
        helper.make_graph([], "init", [], [tensor("t", shape=(2,))], [stored("t", 0, 8)])
    )
    defaults_model = model(
        [helper.make_node("Scaled", ["x"], ["y"], domain="local")], [tensor("x", shape=(2,))],
        [tensor("y", shape=(2,))], functions=[defaults],
    )
    defaults_model.opset_import.append(helper.make_opsetid("local", 1))
    defaults_model.training_info.append(training)
    yield "function_defaults", defaults_model

    # Data locations as protobuf reads them: the varint 2^32 + 1 is EXTERNAL
    # (its low 32 bits), and an unknown value after EXTERNAL leaves EXTERNAL.
    # Written by hand: onnx would write them plainly. A second graph field
    # merges into the first.
    for name, locations in (("location_high_bits", [2**32 + 1]), ("location_unknown_after", [1, 7])):
        hidden = stored("hidden")
        hidden.ClearField("data_location")
        tensor_bytes = hidden.SerializeToString() + b"".join(field(14, 0, varint(value)) for value in locations)
        plain = model([helper.make_node("Add", ["x", "hidden"], ["y"])], [tensor("x", shape=(2,))],
                      [tensor("y", shape=(2,))])
        yield name, plain.SerializeToString() + field(7, 2, field(5, 2, tensor_bytes))

    then_graph = helper.make_graph(
        [helper.make_node("Identity", ["x"], ["then_out"])], "then", [], [tensor("then_out", shape=(2,))]
    )
    else_graph = helper.make_graph(
        [helper.make_node("Neg", ["x"], ["else_out"])], "else", [], [tensor("else_out", shape=(2,))]
    )
    yield "subgraph", model(
        [helper.make_node("If", ["flag"], ["y"], then_branch=then_graph, else_branch=else_graph)],
        [tensor("flag", TensorProto.BOOL, shape=()), tensor("x", shape=(2,))],
        [tensor("y", shape=(2,))],
    )

    kinds = [TensorProto.FLOAT16, TensorProto.DOUBLE, TensorProto.INT8, TensorProto.UINT64, TensorProto.STRING,
             TensorProto.BOOL, TensorProto.COMPLEX64]
    yield "element_types", model(
        [helper.make_node("Identity", [f"in{i}"], [f"out{i}"]) for i in range(len(kinds))],
        [tensor(f"in{i}", kind, shape=(1, None)) for i, kind in enumerate(kinds)],
        [tensor(f"out{i}", kind, shape=(1, None)) for i, kind in enumerate(kinds)],
    )


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def field(number, wire_type, payload):
    """A protocol buffer field: payload is a varint's bytes or, for wire type 2, the bytes held."""
    if wire_type == 2:
        payload = varint(len(payload)) + payload
    return varint(number << 3 | wire_type) + payload


def main(directory):
    os.makedirs(directory, exist_ok=True)
    for name, made in seeds():
        with open(os.path.join(directory, name + ".onnx"), "wb") as out:
            out.write(made if isinstance(made, bytes) else made.SerializeToString())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus"))
