"""QelmoModel.get_input_details / get_output_details: name, shape and element
type name of every tensor feature; images, maps and sequences left out."""

import pytest
from onnx import TensorProto

import qelmo
from models import image_info, map_info, sequence_info, tensor_info

ELEMENT_TYPE_NAMES = {
    TensorProto.FLOAT: "float32",
    TensorProto.UINT8: "uint8",
    TensorProto.INT8: "int8",
    TensorProto.UINT16: "uint16",
    TensorProto.INT16: "int16",
    TensorProto.INT32: "int32",
    TensorProto.INT64: "int64",
    TensorProto.STRING: "string",
    TensorProto.BOOL: "bool",
    TensorProto.FLOAT16: "float16",
    TensorProto.DOUBLE: "float64",
    TensorProto.UINT32: "uint32",
    TensorProto.UINT64: "uint64",
    TensorProto.COMPLEX64: "complex64",
    TensorProto.COMPLEX128: "complex128",
}


def details_of(model_path, inputs=(), outputs=()):
    model = qelmo.QelmoModel(model_path(inputs=list(inputs), outputs=list(outputs)))
    return model, model.get_input_details(), model.get_output_details()


def test_image_sized_float_tensor(model_path):
    _, inputs, _ = details_of(model_path, [tensor_info("data", TensorProto.FLOAT, [1, 3, 224, 224])])
    assert inputs == [("data", [1, 3, 224, 224], "float32")]
    name, shape, element = inputs[0]
    assert type(name) is str and type(shape) is list and type(element) is str


@pytest.mark.parametrize(
    "shape, expected",
    [
        (["batch", 10], [-1, 10]),
        ([None, 10], [-1, 10]),
        ([], []),
        ([0, 7], [0, 7]),
        ([2**40, 1], [2**40, 1]),
    ],
    ids=["symbolic", "unset", "scalar", "zero", "large"],
)
def test_shapes_are_reported_as_declared(model_path, shape, expected):
    _, inputs, outputs = details_of(model_path, [tensor_info("x", shape=shape)], [tensor_info("y", shape=shape)])
    assert inputs == [("x", expected, "float32")]
    assert outputs == [("y", expected, "float32")]


@pytest.mark.parametrize("elem_type", sorted(ELEMENT_TYPE_NAMES), ids=lambda t: TensorProto.DataType.Name(t))
def test_element_type_names(model_path, elem_type):
    _, inputs, outputs = details_of(model_path, [tensor_info("x", elem_type, [2])], [tensor_info("y", elem_type, [2])])
    assert inputs == [("x", [2], ELEMENT_TYPE_NAMES[elem_type])]
    assert outputs == [("y", [2], ELEMENT_TYPE_NAMES[elem_type])]


def test_element_type_without_a_name_is_unknown(model_path):
    _, inputs, _ = details_of(model_path, [tensor_info("x", TensorProto.BFLOAT16, [2])])
    assert inputs == [("x", [2], "unknown")]


def test_image_only_model_has_no_details_but_lists_the_name(model_path):
    model, inputs, _ = details_of(model_path, [image_info("picture")], [tensor_info("y")])
    assert inputs == []
    assert model.get_input_names() == ["picture"]


def test_image_between_tensors_is_skipped(model_path):
    _, inputs, _ = details_of(
        model_path, [tensor_info("a", shape=[1]), image_info("picture"), tensor_info("b", TensorProto.INT64, [3])]
    )
    assert inputs == [("a", [1], "float32"), ("b", [3], "int64")]


def test_image_denotation_needs_four_dimensions(model_path):
    # Only a four-dimensional tensor is an image; any other rank stays a tensor.
    _, inputs, _ = details_of(model_path, [image_info("flat", shape=[3, 224, 224])])
    assert inputs == [("flat", [3, 224, 224], "float32")]


def test_sequences_and_maps_are_left_out(model_path):
    model, inputs, outputs = details_of(
        model_path,
        [sequence_info("s"), tensor_info("t", shape=[4]), map_info("m")],
        [map_info("mo"), tensor_info("o", shape=[4]), sequence_info("so")],
    )
    assert inputs == [("t", [4], "float32")]
    assert outputs == [("o", [4], "float32")]
    assert model.get_input_names() == ["s", "t", "m"]


def test_order_matches_the_names(model_path):
    names = ["z", "a", "m", "b"]
    model, inputs, outputs = details_of(model_path, [tensor_info(n) for n in names], [tensor_info(n + "_out") for n in names])
    assert [detail[0] for detail in inputs] == model.get_input_names() == names
    assert [detail[0] for detail in outputs] == model.get_output_names()


def test_model_without_outputs(model_path):
    _, inputs, outputs = details_of(model_path, [tensor_info("x")])
    assert outputs == []
    assert inputs == [("x", [1], "float32")]
