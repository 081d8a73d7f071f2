"""Tensors whose data lives in other files: only regular files inside the
model's folder are read, whichever ONNX Runtime is installed."""

import os
import socket

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

import qelmo

SECRET = b"root:x:0:0:root:"  # 16 bytes, read as 4 float32 if anything leaks
VALUES = np.array([1, 2, 3, 4], np.float32)


def external(name, location, offset=None, length=None):
    tensor = numpy_helper.from_array(VALUES, name)
    tensor.ClearField("raw_data")
    tensor.data_location = TensorProto.EXTERNAL
    for key, value in (("location", location), ("offset", offset), ("length", length)):
        if value is not None:
            entry = tensor.external_data.add()
            entry.key, entry.value = key, str(value)
    return tensor


def io(name):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, [4])


def onnx_model(nodes, initializers):
    """x -> nodes -> y, both float [4]."""
    model = helper.make_model(helper.make_graph(nodes, "g", [io("x")], [io("y")], list(initializers)),
                              opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    return model


def save(path, nodes, initializers=()):
    onnx.save_model(onnx_model(nodes, initializers), str(path))  # as is: the tensors stay where they say
    return str(path)


def add_model(path, tensor):
    return save(path, [helper.make_node("Add", ["x", tensor.name], ["y"])], [tensor])


def constant_model(path, tensor):
    constant = helper.make_node("Constant", [], ["W"], value=tensor)
    return save(path, [constant, helper.make_node("Add", ["x", "W"], ["y"])])


def if_node(source, tensor, output="y"):
    """output = If(flag) then source + tensor (held in the branch) else source."""
    branch = helper.make_graph([helper.make_node("Add", [source, tensor.name], ["t"])], "then", [], [io("t")], [tensor])
    other = helper.make_graph([helper.make_node("Identity", [source], ["t"])], "else", [], [io("t")])
    return helper.make_node("If", ["flag"], [output], then_branch=branch, else_branch=other)


def if_model(path, tensor):
    return save(path, [if_node("x", tensor)], [numpy_helper.from_array(np.array(True), "flag")])


def refusal(call):
    """The one note of a refusal, which shows nothing of the secret (and no output was made)."""
    with pytest.raises(RuntimeError) as caught:
        call()
    notes = caught.value.__notes__
    assert len(notes) == 1 and SECRET.decode() not in notes[0]
    return notes[0]


@pytest.fixture
def folder(tmp_path):
    """The model's folder, beside a secret and with an honest weights file."""
    (tmp_path / "secret.bin").write_bytes(SECRET)
    inside = tmp_path / "model"
    inside.mkdir()
    (inside / "w.bin").write_bytes(VALUES.tobytes())
    return inside


def hostile(kind, folder):
    """(model builder, tensor, what the note says)"""
    secret = str(folder.parent / "secret.bin")
    if kind in ("symlink", "if_branch"):
        os.symlink("../secret.bin", folder / "link.bin")
    if kind == "device":
        os.symlink("/dev/zero", folder / "zero")
    if kind == "fifo":
        os.mkfifo(folder / "fifo")
    if kind == "socket":
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(str(folder / "socket"))
        listener.close()
    if kind == "marker":
        (folder / "*" / "_ORT_MEM_ADDR_").mkdir(parents=True)
        (folder / "*" / "_ORT_MEM_ADDR_" / "*").write_bytes(bytes(64))
    return {
        "absolute": (add_model, external("W", secret), "is an absolute path"),
        "parent": (add_model, external("W", "../secret.bin"), "goes up out of the model's folder"),
        "symlink": (add_model, external("W", "link.bin"), "'link.bin' leads outside the model's folder"),
        "constant": (constant_model, external("value", secret), "is an absolute path"),
        "if_branch": (if_model, external("W", "link.bin"), "'link.bin' leads outside the model's folder"),
        "device": (add_model, external("W", "zero"), "'zero' leads outside"),
        "fifo": (add_model, external("W", "fifo"), "'fifo' is a FIFO, not a regular file"),
        "socket": (add_model, external("W", "socket"), "is a socket"),
        "folder": (add_model, external("W", "."), "'.' is a folder"),
        "past_end": (add_model, external("W", "w.bin", offset=8, length=16), "offset 8, length 16, lies past the end"),
        "not_a_number": (add_model, external("W", "w.bin", offset="0x10"), "offset '0x10' is not a number"),
        "marker": (add_model, external("W", "*/_ORT_MEM_ADDR_/*", offset=16), "marker for data in memory"),
        "missing": (add_model, external("W", "gone.bin"), "'gone.bin' is not in the model's folder"),
    }[kind]


@pytest.mark.parametrize(
    "kind",
    ["absolute", "parent", "symlink", "constant", "if_branch", "device", "fifo", "socket", "folder", "past_end",
     "not_a_number", "marker", "missing"],
)
def test_hostile_references_are_refused_at_loading(folder, kind):
    build, tensor, reason = hostile(kind, folder)
    path = build(folder / "model.onnx", tensor)
    note = refusal(lambda: qelmo.QelmoModel(path))
    status = "0x80070002" if kind == "missing" else "0x8007000D"
    assert note.startswith(f"status {status}: tensor '{tensor.name}': external data ")
    assert reason in note and note.endswith(f" ({path})")


@pytest.mark.parametrize("build", [add_model, if_model])
def test_a_file_swapped_for_a_link_after_loading_is_refused(folder, build):
    path = build(folder / "model.onnx", external("W", "w.bin"))
    model = qelmo.QelmoModel(path)
    os.replace(folder / "w.bin", folder / "moved.bin")
    os.symlink("../secret.bin", folder / "w.bin")
    note = refusal(lambda: qelmo.QelmoSession(model, qelmo.CPU))
    assert "'w.bin' leads outside the model's folder" in note
    os.replace(folder / "moved.bin", folder / "w.bin")
    session = qelmo.QelmoSession(model, qelmo.CPU)
    session.set_input("x", qelmo.QelmoValue(np.ones(4, np.float32)))
    np.testing.assert_array_equal(session.evaluate()["y"].to_numpy(), VALUES + 1)


def weights_model(branch):
    """y = (x + a) * b + c, or with c in an If branch; a few tensors of each size."""
    rng = np.random.default_rng(0)
    a, b, c = (rng.standard_normal(4).astype(np.float32) for _ in range(3))
    big = rng.standard_normal((300, 4)).astype(np.float32)
    nodes = [helper.make_node("Add", ["x", "a"], ["xa"]), helper.make_node("Mul", ["xa", "b"], ["xb"]),
             helper.make_node("MatMul", ["ones", "big"], ["s"]), helper.make_node("Add", ["xb", "s"], ["xs"])]
    named = ((a, "a"), (b, "b"), (big, "big"), (np.ones(300, np.float32), "ones"), (np.array(True), "flag"))
    initializers = [numpy_helper.from_array(value, name) for value, name in named]
    if branch:
        nodes.append(if_node("xs", numpy_helper.from_array(c, "c")))
    else:
        nodes.insert(0, helper.make_node("Constant", [], ["c"], value=numpy_helper.from_array(c, "c")))
        nodes.append(helper.make_node("Add", ["xs", "c"], ["y"]))
    return onnx_model(nodes, initializers), lambda x: (x + a) * b + big.sum(axis=0) + c


@pytest.mark.parametrize(
    "layout",
    ["one_file", "one_file_per_tensor", "sub_folder", "dot_slash", "if_branch", "through_links"],
)
def test_legitimate_layouts_evaluate(tmp_path, monkeypatch, layout):
    model, expected = weights_model(branch=layout == "if_branch")
    folder = tmp_path / ("blobs" if layout == "through_links" else "model")
    (folder / "sub").mkdir(parents=True)
    location = {"sub_folder": "sub/weights.bin", "dot_slash": "./weights.bin"}.get(layout, "weights.bin")
    onnx.save_model(model, str(folder / "model.onnx"), save_as_external_data=True, size_threshold=0,
                    convert_attribute=True, all_tensors_to_one_file=layout != "one_file_per_tensor",
                    location=location)
    path = folder / "model.onnx"
    if layout == "through_links":  # a download cache: names in one folder, files in another
        path = tmp_path / "snapshot" / "model.onnx"
        path.parent.mkdir()
        os.symlink("../blobs/model.onnx", path)
        os.symlink("../blobs/weights.bin", path.parent / "weights.bin")
    assert onnx.load(str(path), load_external_data=False).graph.initializer[0].data_location == TensorProto.EXTERNAL
    # Some ONNX Runtime releases look for a tensor's file in the current
    # folder: there, they would find other weights.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "weights.bin").write_bytes(bytes(8192))
    x = np.arange(4, dtype=np.float32)
    session = qelmo.QelmoSession(qelmo.QelmoModel(str(path)), qelmo.CPU)
    session.set_input("x", qelmo.QelmoValue(x))
    np.testing.assert_allclose(session.evaluate()["y"].to_numpy(), expected(x), rtol=1e-5)
