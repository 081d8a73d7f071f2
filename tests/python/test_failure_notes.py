"""Platform failures keep RuntimeError "Caught an unknown exception!" and
carry a note with the status code and what the runtime said."""

import os

import numpy as np
import pytest

import qelmo
from qelmo_cli.sample import SAMPLE_MODEL_PATH


def raised(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    assert type(caught.value) is RuntimeError
    assert str(caught.value) == "Caught an unknown exception!"
    return caught.value.__notes__


def test_wrong_shape_note_names_the_input_and_both_shapes(identity_path):
    session = qelmo.QelmoSession(qelmo.QelmoModel(identity_path), qelmo.CPU)
    session.set_input("x", qelmo.QelmoValue(np.zeros((3, 3), np.float32)))
    assert raised(session.evaluate) == ["status 0x80070057: input 'x': shape [3, 3] does not match the model's [2, 3]"]


def test_missing_file_and_missing_input_notes(tmp_path, identity_path):
    missing = str(tmp_path / "absent.onnx")
    assert raised(lambda: qelmo.QelmoModel(missing)) == [f"status 0x80070002: model file not found: {missing}"]

    session = qelmo.QelmoSession(qelmo.QelmoModel(identity_path), qelmo.CPU)
    assert raised(session.evaluate) == ["status 0x80070057: input 'x' has no value bound"]


def test_each_failure_carries_only_its_own_message(tmp_path, identity_path):
    """The runtime's per-thread record is read once: a later failure never
    shows an earlier failure's text."""
    session = qelmo.QelmoSession(qelmo.QelmoModel(identity_path), qelmo.CPU)
    session.set_input("nope", qelmo.QelmoValue(np.zeros((2, 3), np.float32)))
    first = raised(session.evaluate)
    assert first == ["status 0x80070057: the model has no input named 'nope'"]
    session.clear_input()
    session.set_input("x", qelmo.QelmoValue(np.zeros((2, 3), np.float32)))
    session.evaluate()
    second = raised(lambda: qelmo.QelmoModel(str(tmp_path)))
    assert len(second) == 1 and "nope" not in second[0] and second[0].startswith("status 0x8007000D: ")


def test_a_session_onnx_runtime_refuses_carries_its_warnings(capfd):
    """ONNX Runtime explains an opset it no longer implements in a warning
    (upgrade the model): the note keeps it; the terminal gets nothing."""
    import onnx

    path = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "pytorch-converted", "test_Linear", "model.onnx")
    model = qelmo.QelmoModel(path)
    (note,) = raised(lambda: qelmo.QelmoSession(model, qelmo.CPU))
    cause, *warnings = note.split("\n")
    assert cause.startswith("status 0x80004005: ONNX Runtime could not prepare the model: ")
    assert warnings and all(line.startswith("ONNX Runtime warned: ") for line in warnings)
    assert "opset" in warnings[0] and "upgrade" in warnings[0]
    assert len(warnings) <= 5 and all(len(line) <= 450 for line in warnings)
    assert capfd.readouterr() == ("", "")
    # Warnings of one session never reach another's failure.
    session = qelmo.QelmoSession(qelmo.QelmoModel(SAMPLE_MODEL_PATH), qelmo.CPU)
    assert raised(session.evaluate) == ["status 0x80070057: input 'features' has no value bound"]


def tensor_proto_bytes():
    from onnx import numpy_helper

    return numpy_helper.from_array(np.ones((2, 3), np.float32), "x").SerializeToString()


@pytest.mark.parametrize(
    "content, looks_like",
    [
        (b"some notes\n", "looks like text (ONNX reader: "),
        (tensor_proto_bytes, "looks like an ONNX TensorProto file, which holds a tensor, not a model (ONNX reader: "),
        (b"\x93NUMPY\x01\x00v\x00{'descr': '<f4'}", "looks like a numpy .npy array file (ONNX reader: "),
        (b"PK\x03\x04" + bytes(40), "looks like a zip archive"),
        (b"\x80\x04\x95" + bytes(20), "looks like a Python pickle"),
        # Nothing to recognise: the reader's cause alone, as before.
        (b"\x0a\xff\xff\xff\xff\x0f", "not an ONNX model: field runs past the end of its message ("),
    ],
)
def test_a_file_that_is_not_a_model_is_named_by_what_it_looks_like(tmp_path, content, looks_like):
    path = tmp_path / "file.onnx"
    path.write_bytes(content() if callable(content) else content)
    (note,) = raised(lambda: qelmo.QelmoModel(str(path)))
    assert note.startswith("status 0x8007000D: not an ONNX model: ")
    assert looks_like in note, note
