"""Platform failures keep RuntimeError "Caught an unknown exception!" and
carry a note with the status code and what the runtime said."""

import numpy as np
import pytest

import qelmo


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
