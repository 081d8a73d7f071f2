"""Property tests with hostile input: mutated model files and arbitrary
arrays and names. qelmo either works or raises one of its documented
exceptions; it never crashes, hangs or returns wrong data."""

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from onnx import TensorProto, helper

import qelmo
from models import make_model, tensor_info

DOCUMENTED = (RuntimeError, TypeError, ValueError, MemoryError)
SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@pytest.fixture(scope="module")
def seed_model(tmp_path_factory):
    """A model with metadata, a symbolic dimension and two inputs; its bytes."""
    path = make_model(
        tmp_path_factory.mktemp("seed") / "seed.onnx",
        [tensor_info("a", shape=("n", 3)), tensor_info("b", shape=(1, 3))],
        [tensor_info("y", shape=("n", 3))],
        [helper.make_node("Add", ["a", "b"], ["y"])],
        producer_name="maker",
        doc_string="seed",
        metadata={"k": "v"},
    )
    with open(path, "rb") as f:
        return f.read()


@pytest.fixture(scope="module")
def identity_session(tmp_path_factory):
    path = make_model(
        tmp_path_factory.mktemp("identity") / "identity.onnx",
        [tensor_info("x", shape=(2, 3))],
        [tensor_info("y", shape=(2, 3))],
        [helper.make_node("Identity", ["x"], ["y"])],
    )
    return qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)


@st.composite
def mutated(draw, data):
    data = bytearray(data)
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["flip", "truncate", "insert", "overwrite"]))
        at = draw(st.integers(0, max(len(data) - 1, 0)))
        if kind == "flip" and data:
            data[at] ^= 1 << draw(st.integers(0, 7))
        elif kind == "truncate":
            del data[at:]
        elif kind == "insert":
            data[at:at] = draw(st.binary(min_size=1, max_size=12))
        elif data:
            # Lengths and varints of extreme size.
            data[at : at + 5] = draw(st.sampled_from([b"\xff\xff\xff\xff\x0f", b"\x80\x80\x80\x80\x80", b"\x00"]))
    return bytes(data)


def zeros_for(details):
    name, shape, dtype = details
    shape = [1 if d < 0 else d for d in shape]
    if np.prod(shape, dtype=np.float64) > 1e5:
        return None
    return name, np.zeros(shape, dtype=dtype)


def test_mutated_models_load_and_run_or_raise(tmp_path, seed_model):
    @given(mutated(seed_model))
    @SETTINGS
    def check(data):
        path = tmp_path / "mutated.onnx"
        path.write_bytes(data)
        try:
            model = qelmo.QelmoModel(str(path))
            for query in ("get_author", "get_name", "get_domain", "get_description", "get_input_names",
                          "get_output_names", "get_output_details"):
                getattr(model, query)()
            session = qelmo.QelmoSession(model, qelmo.CPU)
            for details in model.get_input_details():
                staged = zeros_for(details)
                if staged:
                    session.set_input(staged[0], qelmo.QelmoValue(staged[1]))
            for value in session.evaluate().values():
                value.to_numpy()
        except DOCUMENTED:
            pass

    check()


DTYPES = ["float16", "float32", "float64", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64",
          "uint64", "bool", "complex64", "complex128", "U3", "S2", "O", "datetime64[s]", "V4"]


@st.composite
def arrays(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    if dtype.byteorder not in "|" and draw(st.booleans()):
        dtype = dtype.newbyteorder()
    shape = tuple(draw(st.lists(st.integers(0, 4), max_size=4)))
    raw = np.frombuffer(draw(st.binary(min_size=64 * 8, max_size=64 * 8)), np.uint8)
    base = np.zeros(shape, dtype)
    if dtype.kind in "iufcb":
        flat = np.resize(raw, base.size * dtype.itemsize).view(dtype) if base.size else base.ravel()
        base = flat.reshape(shape).copy()
    view = draw(st.sampled_from(["plain", "reversed", "transposed", "strided"]))
    if view == "reversed" and base.ndim:
        base = base[::-1]
    elif view == "transposed":
        base = base.T
    elif view == "strided" and base.ndim:
        base = np.repeat(base, 2, axis=0)[::2]
    return base


@given(arrays())
@SETTINGS
def test_values_round_trip_any_array_or_raise(array):
    try:
        value = qelmo.QelmoValue(array)
    except DOCUMENTED:
        return
    back = value.to_numpy()
    assert back.shape == array.shape
    assert back.dtype == array.dtype.newbyteorder("=")
    assert np.array_equal(back, array, equal_nan=back.dtype.kind in "fc")


NAMES = st.one_of(st.just("x"), st.text(max_size=8), st.sampled_from(["x\x00", "\udcff", "\U0001f600", "x" * 4096]))


def test_staging_any_array_under_any_name_or_raise(identity_session):
    @given(NAMES, arrays())
    @example("x", np.ones((2, 3), np.float32))
    @example("x\x00", np.ones((2, 3), np.float32))
    @example("\udcff", np.ones((2, 3), np.float32))
    @example("\U0001f600", np.ones((2, 3), np.float32))
    @example("x" * 4096, np.ones((2, 3), np.float32))
    @example("x", np.ones((2, 3), ">f4"))
    @SETTINGS
    def check(name, array):
        try:
            identity_session.set_input(name, qelmo.QelmoValue(array))
            outputs = identity_session.evaluate()
        except DOCUMENTED:
            return
        finally:
            try:
                identity_session.clear_input()
            except DOCUMENTED:
                pass
        # Only a well-formed input can have been evaluated.
        assert name == "x" and array.shape == (2, 3)
        assert np.array_equal(outputs["y"].to_numpy(), array.astype(np.float32))

    check()


def test_model_the_reader_accepts_but_onnx_runtime_refuses(tmp_path):
    path = make_model(
        tmp_path / "unknown_op.onnx",
        [tensor_info("x")],
        [tensor_info("y")],
        [helper.make_node("NoSuchOperator", ["x"], ["y"])],
    )
    model = qelmo.QelmoModel(path)
    assert model.get_input_names() == ["x"]
    with pytest.raises(RuntimeError):
        qelmo.QelmoSession(model, qelmo.CPU)
