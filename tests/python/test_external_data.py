"""Tensors whose data lives in other files: only regular files inside the
model's folder are read, whichever ONNX Runtime is installed."""

import collections
import os
import socket
import subprocess
import sys

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

import qelmo

SECRET = b"root:x:0:0:root:"  # 16 bytes, read as 4 float32 if anything leaks
VALUES = np.array([1, 2, 3, 4], np.float32)
RACE_SECONDS = float(os.environ.get("QELMO_RACE_SECONDS", "3"))  # set longer by hand for a soak


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


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


def field(number, wire_type, payload):
    """A protocol buffer field: a varint's bytes, or for wire type 2 the bytes held."""
    return varint(number << 3 | wire_type) + (varint(len(payload)) + payload if wire_type == 2 else payload)


def locations_written_by_hand(*locations):
    """An initializer W whose data_location fields are written as given: onnx would write them plainly.
    A second graph field merges into the first."""

    def build(path, tensor):
        tensor.ClearField("data_location")
        raw = tensor.SerializeToString() + b"".join(field(14, 0, varint(value)) for value in locations)
        plain = onnx_model([helper.make_node("Add", ["x", tensor.name], ["y"])], ())
        with open(path, "wb") as out:
            out.write(plain.SerializeToString() + field(7, 2, field(5, 2, raw)))
        return str(path)

    return build


def function_default_model(path, tensor):
    """y = x * alpha, alpha the default of a model-local function's attribute."""
    scaled = helper.make_function("local", "Scaled", ["a"], ["s"],
                                  [helper.make_node("Mul", ["a", "alpha"], ["s"])],
                                  [helper.make_opsetid("", 13)], attributes=[],
                                  attribute_protos=[helper.make_attribute("alpha", tensor)])
    model = onnx_model([helper.make_node("Scaled", ["x"], ["y"], domain="local")], ())
    model.functions.append(scaled)
    model.opset_import.append(helper.make_opsetid("local", 1))
    onnx.save_model(model, str(path))
    return str(path)


def hostile(kind, folder):
    """(model builder, tensor, what the note says)"""
    secret = str(folder.parent / "secret.bin")
    if kind in ("symlink", "if_branch"):
        os.symlink("../secret.bin", folder / "link.bin")
    if kind == "if_branch_inner_link":
        os.symlink("w.bin", folder / "inner.bin")
    if kind == "if_branch_hard_link":
        os.link(folder / "w.bin", folder / "hard.bin")
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
        # Seen by protobuf, and so by ONNX Runtime, as EXTERNAL: 2^32 + 1
        # keeps its low bits, and 7 (no data location) leaves EXTERNAL.
        "location_high_bits": (locations_written_by_hand(2**32 + 1), external("W", secret), "is an absolute path"),
        "location_unknown_after": (locations_written_by_hand(1, 7), external("W", secret), "is an absolute path"),
        "function_default": (function_default_model, external("alpha", secret), "is an absolute path"),
        "if_branch_inner_link": (if_model, external("W", "inner.bin"), "'inner.bin' is a symbolic link"),
        "if_branch_hard_link": (if_model, external("W", "hard.bin"), "'hard.bin' has other hard links"),
        "past_end_by_shape": (add_model, external("W", "w.bin", offset=8), "8, 16 bytes by its type and shape, lies past"),
    }[kind]


@pytest.mark.parametrize(
    "kind",
    ["absolute", "parent", "symlink", "constant", "if_branch", "device", "fifo", "socket", "folder", "past_end",
     "not_a_number", "marker", "missing", "location_high_bits", "location_unknown_after", "function_default",
     "if_branch_inner_link", "if_branch_hard_link", "past_end_by_shape"],
)
def test_hostile_references_are_refused_at_loading(folder, kind, monkeypatch):
    build, tensor, reason = hostile(kind, folder)
    path = build(folder / "model.onnx", tensor)
    # A reference the checks missed would be looked for in the current folder.
    monkeypatch.chdir(folder.parent)
    note = refusal(lambda: qelmo.QelmoModel(path))
    status = "0x80070002" if kind == "missing" else "0x8007000D"
    assert note.startswith(f"status {status}: tensor '{tensor.name}': external data ")
    assert reason in note and note.endswith(f" ({path})")


def test_tensors_that_read_two_ways_and_repeated_bytes_are_refused(folder):
    # Entries naming a file, but a data location that ends up not EXTERNAL.
    path = locations_written_by_hand(1, 0)(folder / "model.onnx", external("W", "w.bin"))
    assert "tensor 'W' has external data entries, but its data location is not EXTERNAL" in refusal(
        lambda: qelmo.QelmoModel(path))
    # 5,000 tensors naming the same megabyte: ONNX Runtime would copy each.
    (folder / "w.bin").write_bytes(bytes(1 << 20))
    tensors = [external(f"W{i}", "w.bin") for i in range(5000)]
    for tensor in tensors:
        tensor.ClearField("dims")
        tensor.dims.append(1 << 18)
    nodes = [helper.make_node("ReduceMax", [t.name], [f"r{i}"], keepdims=0) for i, t in enumerate(tensors)]
    nodes.append(helper.make_node("Sum", [f"r{i}" for i in range(len(tensors))], ["s"]))
    nodes.append(helper.make_node("Add", ["x", "s"], ["y"]))
    path = save(folder / "repeats.onnx", nodes, tensors)
    note = refusal(lambda: qelmo.QelmoModel(path))
    assert note == ("status 0x8007000D: external data: tensors name 5000 MiB in all, of which 1 MiB are distinct; "
                    "ONNX Runtime copies every repeat, so repeats may add up to the distinct data or 64 MiB, "
                    f"whichever is more ({path})")


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


FLIPPER = """
import ctypes, os, sys, time
folder, seconds = sys.argv[1], float(sys.argv[2])
libc = ctypes.CDLL(None, use_errno=True)
link, other = os.path.join(folder, "m").encode(), os.path.join(folder, "m.other").encode()
end, flips = time.monotonic() + seconds, 0
while time.monotonic() < end:
    for _ in range(1000):  # RENAME_EXCHANGE: the two links trade places in one step
        if libc.renameat2(-100, link, -100, other, 2) != 0:
            raise OSError(ctypes.get_errno(), "renameat2")
    flips += 1000
print(flips)
"""


def test_a_folder_flipped_while_loading_never_lends_its_files(tmp_path):
    """The model's folder is a link flipping between the attacker's folder (the model,
    naming "secret.bin") and the victim's (the secret): loading must never take the
    model from one and the secret from the other."""
    victim, attacker = tmp_path / "victim", tmp_path / "attacker"
    victim.mkdir()
    attacker.mkdir()
    (victim / "secret.bin").write_bytes(SECRET)
    add_model(attacker / "model.onnx", external("W", "secret.bin"))
    os.symlink("attacker", tmp_path / "m")
    os.symlink("victim", tmp_path / "m.other")
    path = str(tmp_path / "m" / "model.onnx")
    flipper = subprocess.Popen([sys.executable, "-c", FLIPPER, str(tmp_path), str(RACE_SECONDS)],
                               stdout=subprocess.PIPE, text=True)
    refusals, loads = collections.Counter(), 0
    try:
        while flipper.poll() is None:
            try:
                model = qelmo.QelmoModel(path)
            except RuntimeError as error:
                refusals[error.__notes__[0].split(": ")[1]] += 1
                continue
            loads += 1
            session = qelmo.QelmoSession(model, qelmo.CPU)
            session.set_input("x", qelmo.QelmoValue(np.zeros(4, np.float32)))
            assert session.evaluate()["y"].to_numpy().tobytes() != SECRET
    finally:
        flipper.wait()
    # Both folders were met: the model missing, and its secret missing beside it.
    assert loads == 0 and refusals["model file not found"] > 0 and refusals["tensor 'W'"] > 0, (loads, refusals)
    assert int(flipper.stdout.read()) > 1000
