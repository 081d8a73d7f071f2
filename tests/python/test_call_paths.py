"""The direct entry points of QelmoValue(array), to_numpy, set_input and
evaluate, and the cases they hand to the generic binding layer."""

import subprocess
import sys
import weakref

import numpy as np
import pytest
from onnx import TensorProto, helper

import eval_models
import qelmo
from models import make_model, tensor_info


def f32(*values):
    return np.array(values, dtype=np.float32)


@pytest.mark.parametrize("names", [("a", "b"), ("é", "名"), ("𝑥", "ÿ")], ids=["ascii", "latin1-bmp", "astral-latin1"])
def test_input_names_reach_the_model_whatever_their_characters(tmp_path, names):
    path = eval_models.binary(tmp_path / "sub.onnx", "Sub", names=names)
    session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
    session.set_input(names[0], qelmo.QelmoValue(f32(5, 7, 9)))
    session.set_input(names[1], qelmo.QelmoValue(f32(1, 2, 3)))
    np.testing.assert_array_equal(session.evaluate()["y"].to_numpy(), f32(4, 5, 6))


@pytest.mark.parametrize("name", ["y", "é", "名", "𝑦"])
def test_output_names_come_back_as_declared(tmp_path, name):
    path = eval_models.identity(tmp_path / "id.onnx", shape=(2,), output_name=name)
    session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
    session.set_input("x", qelmo.QelmoValue(f32(1, 2)))
    (key, value), = session.evaluate().items()
    assert key == name and type(key) is str
    np.testing.assert_array_equal(value.to_numpy(), f32(1, 2))


def test_subclass_values_and_names_are_taken(tmp_path):
    class Value(qelmo.QelmoValue):
        def __init__(self, array):
            super().__init__(array)

    class Name(str):
        pass

    session = qelmo.QelmoSession(qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx", shape=(3,))), qelmo.CPU)
    array = f32(1, 2, 3)
    value = Value(array)
    assert value.to_numpy() is array
    session.set_input(Name("x"), value)
    np.testing.assert_array_equal(session.evaluate()["y"].to_numpy(), array)


def test_second_init_keeps_the_first_array():
    first = f32(1)
    value = qelmo.QelmoValue(first)
    value.__init__(f32(2))
    assert value.to_numpy() is first


def test_values_release_their_arrays(tmp_path):
    session = qelmo.QelmoSession(qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx", shape=(3,))), qelmo.CPU)
    staged = f32(1, 2, 3)
    session.set_input("x", qelmo.QelmoValue(staged))
    outputs = session.evaluate()
    arrays = [weakref.ref(staged), weakref.ref(outputs["y"].to_numpy())]
    session.clear_input()
    del staged, outputs
    assert [ref() for ref in arrays] == [None, None]


def test_argument_mistakes_keep_the_binding_layer_errors(tmp_path):
    session = qelmo.QelmoSession(qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx", shape=(3,))), qelmo.CPU)
    value = qelmo.QelmoValue(f32(1, 2, 3))
    for call in (
        lambda: session.set_input("x", f32(1, 2, 3)),
        lambda: session.set_input(1, value),
        lambda: session.set_input("x"),
        lambda: session.set_input(name="x", value=value),
        lambda: value.to_numpy(1),
        lambda: session.evaluate(1),
        lambda: qelmo.QelmoValue(),
        lambda: qelmo.QelmoValue(f32(1), f32(2)),
    ):
        with pytest.raises(TypeError, match="incompatible"):
            call()


@pytest.mark.parametrize("cls", [qelmo.QelmoValue, type("Sub", (qelmo.QelmoValue,), {})])
def test_uninitialised_objects_are_refused_not_used(tmp_path, cls):
    session = qelmo.QelmoSession(qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx", shape=(3,))), qelmo.CPU)
    empty = cls.__new__(cls)
    with pytest.raises(TypeError, match="never initialised"):
        empty.to_numpy()
    for name in ("x", "名"):
        with pytest.raises(TypeError, match="never initialised"):
            session.set_input(name, empty)
    unmade_session = qelmo.QelmoSession.__new__(qelmo.QelmoSession)
    with pytest.raises(TypeError, match="never initialised"):
        unmade_session.set_input("x", qelmo.QelmoValue(f32(1, 2, 3)))
    with pytest.raises(TypeError, match="never initialised"):
        unmade_session.evaluate()


# With numpy unimportable, every call that needs it raises numpy's own
# ImportError, as pybind11's path does, and the process goes on.
WITHOUT_NUMPY = """
import sys
sys.modules["numpy"] = None
import qelmo

def raised(call):
    try:
        call()
    except ImportError as error:
        return "ImportError" + (": " + str(error) if "numpy" in str(error) else "")
    return "nothing raised"

print(raised(lambda: qelmo.QelmoValue([1.0, 2.0])))
print(raised(lambda: qelmo.QelmoValue(array=[1.0])))
session = qelmo.QelmoSession(qelmo.QelmoModel(sys.argv[1]), qelmo.CPU)
print(raised(session.evaluate))
print("still running")
"""


def test_calls_that_need_numpy_raise_its_import_error_when_it_cannot_load(tmp_path):
    # A model without inputs: its evaluation needs numpy only for the output.
    path = make_model(
        tmp_path / "constant.onnx", [], [tensor_info("y", TensorProto.FLOAT, (2,))],
        [helper.make_node("Constant", [], ["y"], value=helper.make_tensor("c", TensorProto.FLOAT, [2], [1.0, 2.0]))],
    )
    result = subprocess.run([sys.executable, "-c", WITHOUT_NUMPY, path], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 4 and lines[3] == "still running", result.stdout + result.stderr
    assert all(line.startswith("ImportError: ") and "numpy" in line for line in lines[:3]), lines
