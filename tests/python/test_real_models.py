"""Real models give the same tensor outputs through qelmo as through
onnxruntime's own Python API."""

import glob
import os

import numpy as np
import onnx
import onnxruntime
import pytest
from onnx import numpy_helper

import qelmo

ORT_DIR = os.path.dirname(onnxruntime.__file__)
ONNX_DATA = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data")

ORT_TYPES = {
    "tensor(float)": np.float32,
    "tensor(double)": np.float64,
    "tensor(int64)": np.int64,
    "tensor(int32)": np.int32,
    "tensor(uint8)": np.uint8,
    "tensor(int8)": np.int8,
}


def through_qelmo(path, feeds):
    session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
    for name, array in feeds.items():
        session.set_input(name, qelmo.QelmoValue(array))
    return {name: value.to_numpy() for name, value in session.evaluate().items()}


def through_onnxruntime(path, feeds):
    session = onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"])
    names = [output.name for output in session.get_outputs()]
    return dict(zip(names, session.run(None, feeds)))


def assert_same_tensor_outputs(ours, theirs):
    tensors = {name: value for name, value in theirs.items() if isinstance(value, np.ndarray) and value.dtype != object and value.dtype != bool}
    assert set(ours) == set(tensors)
    for name, expected in tensors.items():
        got = ours[name]
        expected = expected.astype(np.float32) if expected.dtype == np.float16 else expected
        assert got.dtype == expected.dtype, name
        assert got.shape == expected.shape, name
        np.testing.assert_allclose(got, expected, rtol=1e-6, atol=1e-6, err_msg=name)


def random_feeds(path, seed=0):
    rng = np.random.default_rng(seed)
    session = onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"])
    feeds = {}
    for model_input in session.get_inputs():
        shape = [d if isinstance(d, int) else 2 for d in model_input.shape]
        feeds[model_input.name] = (rng.standard_normal(shape) * 3).astype(ORT_TYPES[model_input.type])
    return feeds


@pytest.mark.parametrize("path", sorted(glob.glob(os.path.join(ORT_DIR, "datasets", "*.onnx"))), ids=os.path.basename)
def test_models_shipped_with_onnxruntime(path):
    feeds = random_feeds(path)
    theirs = through_onnxruntime(path, feeds)
    ours = through_qelmo(path, feeds)
    assert_same_tensor_outputs(ours, theirs)
    if os.path.basename(path) == "logreg_iris.onnx":
        assert set(ours) == {"label"}  # the sequence of maps is left out


def backend_cases():
    cases = []
    for group in ("pytorch-operator", "simple"):
        for directory in sorted(glob.glob(os.path.join(ONNX_DATA, group, "*"))):
            if os.path.exists(os.path.join(directory, "test_data_set_0")):
                cases.append(directory)
    return cases


def load_data_set(directory, model_path):
    model = onnx.load(model_path)
    initializers = {i.name for i in model.graph.initializer}
    inputs = [i.name for i in model.graph.input if i.name not in initializers]
    feeds, tensors = {}, sorted(glob.glob(os.path.join(directory, "test_data_set_0", "input_*.pb")))
    for name, file in zip(inputs, tensors):
        tensor = onnx.TensorProto()
        with open(file, "rb") as f:
            tensor.ParseFromString(f.read())
        feeds[name] = numpy_helper.to_array(tensor)
    return feeds


@pytest.mark.parametrize("directory", backend_cases(), ids=os.path.basename)
def test_onnx_backend_cases(directory):
    path = os.path.join(directory, "model.onnx")
    feeds = load_data_set(directory, path)
    if not all(isinstance(v, np.ndarray) and v.dtype.name in ORT_TYPES_BY_NAME for v in feeds.values()):
        pytest.skip("inputs of a kind the module does not take (strings, sequences, bools)")
    try:
        theirs = through_onnxruntime(path, feeds)
    except Exception as error:  # noqa: BLE001 - a case onnxruntime itself cannot run
        pytest.skip(f"onnxruntime cannot run it: {type(error).__name__}")
    assert_same_tensor_outputs(through_qelmo(path, feeds), theirs)


ORT_TYPES_BY_NAME = {"float32", "float64", "int64", "int32", "uint8", "int8", "uint16", "int16", "uint32", "uint64"}


def single_node_model(path, op, inputs, output_type, attributes=None):
    """One node over the given (name, numpy array) inputs; the output shape is left free."""
    from onnx import helper

    from eval_models import ELEMENT_TYPES
    from models import make_model, tensor_info

    infos = [tensor_info(name, ELEMENT_TYPES[array.dtype.name], array.shape) for name, array in inputs]
    node = helper.make_node(op, [name for name, _ in inputs], ["out"], **(attributes or {}))
    return make_model(path, infos, [tensor_info("out", output_type, None)], [node])


def node_cases():
    from onnx import TensorProto as T

    rng = np.random.default_rng(7)
    x = rng.standard_normal((2, 3, 5, 5)).astype(np.float32)
    w = rng.standard_normal((4, 3, 3, 3)).astype(np.float32)
    m = rng.standard_normal((3, 4)).astype(np.float64)
    idx = np.array([[0, 2], [1, 1]], np.int64)
    return {
        "conv": ("Conv", [("x", x), ("w", w)], T.FLOAT, {"pads": [1, 1, 1, 1], "strides": [2, 2]}),
        "softmax": ("Softmax", [("x", x)], T.FLOAT, {"axis": 1}),
        "matmul_double": ("MatMul", [("a", m), ("b", m.T.copy())], T.DOUBLE, None),
        "argmax_int64": ("ArgMax", [("x", x)], T.INT64, {"axis": 3}),
        "gather": ("Gather", [("x", m), ("i", idx)], T.DOUBLE, {"axis": 1}),
        "transpose_uint8": ("Transpose", [("x", rng.integers(0, 255, (2, 3, 4), dtype=np.uint8))], T.UINT8, {"perm": [2, 0, 1]}),
        "reduce_sum_int32": ("ReduceSum", [("x", rng.integers(-9, 9, (3, 4), dtype=np.int32)), ("axes", np.array([1], np.int64))], T.INT32, None),
        "cast_to_float16": ("Cast", [("x", x)], T.FLOAT16, {"to": T.FLOAT16}),
    }


@pytest.mark.parametrize("case", sorted(node_cases()))
def test_single_operator_models(tmp_path, case):
    op, inputs, output_type, attributes = node_cases()[case]
    path = single_node_model(tmp_path / f"{case}.onnx", op, inputs, output_type, attributes)
    feeds = dict(inputs)
    assert_same_tensor_outputs(through_qelmo(path, feeds), through_onnxruntime(path, feeds))
