"""Models with more weights than are read whole at loading: the structure is
read when the model loads, and each session has ONNX Runtime read the file
through the descriptor the model holds open (or, without /proc, the weights
read for it)."""

import os
import shutil
import subprocess
import sys
import textwrap
import threading

import numpy as np
import onnx
import pytest
from onnx import TensorProto, external_data_helper, helper, numpy_helper

import qelmo

K = 1536  # 9 MiB of float32 weights


def weights_model(path, seed, k=K):
    """y = x @ w, w [k, k] stored in the file; returns (path, w)."""
    w = np.random.default_rng(seed).standard_normal((k, k), dtype=np.float32)
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["x", "w"], ["y"])],
        "weights",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, k])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, k])],
        initializer=[numpy_helper.from_array(w, "w")],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], producer_name="large")
    model.ir_version = 8
    onnx.save(model, str(path))
    return str(path), w


def evaluate(session, w, seed=1):
    x = np.random.default_rng(seed).standard_normal((1, w.shape[0]), dtype=np.float32)
    session.set_input("x", qelmo.QelmoValue(x))
    np.testing.assert_allclose(session.evaluate()["y"].to_numpy(), x @ w, rtol=1e-4, atol=1e-3)


def failure_notes(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    assert str(caught.value) == "Caught an unknown exception!"
    return caught.value.__notes__


def test_inspects_and_evaluates_with_sessions_side_by_side(tmp_path):
    path, w = weights_model(tmp_path / "large.onnx", seed=0)
    model = qelmo.QelmoModel(path)
    assert model.get_author() == "large"
    assert model.get_input_details() == [("x", [1, K], "float32")]
    first = qelmo.QelmoSession(model, qelmo.CPU)
    second = qelmo.QelmoSession(model, qelmo.CPU)
    evaluate(first, w)
    evaluate(second, w, seed=2)
    del first
    evaluate(qelmo.QelmoSession(model, qelmo.CPU), w, seed=3)
    evaluate(second, w, seed=4)


def test_sessions_made_on_several_threads_at_once(tmp_path):
    path, w = weights_model(tmp_path / "large.onnx", seed=5)
    model = qelmo.QelmoModel(path)
    failures = []

    def work(seed):
        try:
            for _ in range(3):
                evaluate(qelmo.QelmoSession(model, qelmo.CPU), w, seed)
        except BaseException as error:  # reported below
            failures.append(repr(error))

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []


def test_the_loaded_file_evaluates_after_it_is_deleted_or_replaced(tmp_path):
    path, w = weights_model(tmp_path / "large.onnx", seed=6)
    model = qelmo.QelmoModel(path)
    os.remove(path)
    weights_model(path, seed=7)  # a new file under the old name
    evaluate(qelmo.QelmoSession(model, qelmo.CPU), w)


def test_the_loaded_file_evaluates_after_it_is_moved_or_renamed_over(tmp_path):
    path, w = weights_model(tmp_path / "large.onnx", seed=13)
    moved = qelmo.QelmoModel(path)
    os.rename(path, tmp_path / "moved.onnx")
    _, w_second = weights_model(path, seed=14)  # another file under the old name
    renamed_over = qelmo.QelmoModel(path)
    weights_model(tmp_path / "new.onnx", seed=15)
    os.replace(tmp_path / "new.onnx", path)
    evaluate(qelmo.QelmoSession(moved, qelmo.CPU), w)
    evaluate(qelmo.QelmoSession(renamed_over, qelmo.CPU), w_second)

    # Wherever the file went, a change to it in place is still seen.
    with open(tmp_path / "moved.onnx", "ab") as file:
        file.write(b"\0")
    changed = [f"status 0x8007000D: the model file changed after it was loaded: {path}"]
    assert failure_notes(lambda: qelmo.QelmoSession(moved, qelmo.CPU)) == changed


def test_onnx_runtime_refusing_a_large_model_names_its_path(tmp_path):
    path, _ = weights_model(tmp_path / "unknown_op.onnx", seed=16)
    model = onnx.load(path)
    model.graph.node[0].op_type = "NoSuchOp"
    onnx.save(model, path)
    notes = failure_notes(lambda: qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU))
    assert len(notes) == 1
    assert notes[0].startswith("status 0x80004005: ONNX Runtime could not prepare the model: ")
    assert path in notes[0] and "NoSuchOp" in notes[0] and "/proc/" not in notes[0]


WITHOUT_PROC = """
import os, sys
import qelmo
sys.path.insert(0, sys.argv[2])
from test_large_models import evaluate, failure_notes, weights_model

path = sys.argv[1]
_, w = weights_model(path, seed=17)
model = qelmo.QelmoModel(path)
os.remove(path)
weights_model(path, seed=18)
evaluate(qelmo.QelmoSession(model, qelmo.CPU), w)
changed = qelmo.QelmoModel(path)
os.utime(path, ns=(0, 0))
assert failure_notes(lambda: qelmo.QelmoSession(changed, qelmo.CPU)) == [
    f"status 0x8007000D: the model file changed after it was loaded: {path}"]
print("served")
"""


def test_without_proc_sessions_take_the_weights_read_for_them(tmp_path):
    hide_proc = ["unshare", "--mount", "--propagation", "private", "sh", "-c", 'mount -t tmpfs none /proc && exec "$@"',
                 "sh"]
    if shutil.which("unshare") is None or subprocess.run(hide_proc + ["true"], capture_output=True).returncode != 0:
        pytest.skip("cannot hide /proc here (needs a mount namespace)")
    done = subprocess.run(
        hide_proc + [sys.executable, "-c", textwrap.dedent(WITHOUT_PROC), str(tmp_path / "large.onnx"),
                     os.path.dirname(os.path.abspath(__file__))],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert (done.returncode, done.stdout) == (0, "served\n"), done.stderr


def test_a_file_changed_in_place_after_loading_refuses_sessions(tmp_path):
    path, w = weights_model(tmp_path / "large.onnx", seed=8)
    changed = [f"status 0x8007000D: the model file changed after it was loaded: {path}"]

    resized = qelmo.QelmoModel(path)
    with open(path, "r+b") as file:  # same file, other size
        file.truncate(os.path.getsize(path) - 4096)
    assert failure_notes(lambda: qelmo.QelmoSession(resized, qelmo.CPU)) == changed

    path, w = weights_model(tmp_path / "again.onnx", seed=9)
    rewritten = qelmo.QelmoModel(path)
    stat = os.stat(path)
    weights_model(path, seed=10)  # same size, other weights
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))
    changed = [f"status 0x8007000D: the model file changed after it was loaded: {path}"]
    assert failure_notes(lambda: qelmo.QelmoSession(rewritten, qelmo.CPU)) == changed
    # The model itself is still whole.
    assert rewritten.get_input_details() == [("x", [1, K], "float32")]

    # Rewritten in place with both its size and its times put back: what it
    # declares changed (its graph's name here; it could name other files).
    path, w = weights_model(tmp_path / "disguised.onnx", seed=11)
    disguised = qelmo.QelmoModel(path)
    stat = os.stat(path)
    contents = open(path, "rb").read()
    with open(path, "r+b") as file:
        file.write(contents.replace(b"\x12\x07weights", b"\x12\x07WEIGHTS", 1))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert os.stat(path).st_mtime_ns == stat.st_mtime_ns
    changed = [f"status 0x8007000D: the model file changed after it was loaded: {path}"]
    assert failure_notes(lambda: qelmo.QelmoSession(disguised, qelmo.CPU)) == changed


def test_weights_inline_and_in_another_file(tmp_path):
    path, w = weights_model(tmp_path / "mixed.onnx", seed=12)
    model = onnx.load(path)
    b = np.arange(K, dtype=np.float32)
    bias = numpy_helper.from_array(b, "b")
    (tmp_path / "bias.bin").write_bytes(b.tobytes())
    external_data_helper.set_external_data(bias, "bias.bin")
    bias.data_location = TensorProto.EXTERNAL
    bias.ClearField("raw_data")
    model.graph.initializer.append(bias)
    model.graph.node[0].output[0] = "xw"
    model.graph.node.append(helper.make_node("Add", ["xw", "b"], ["y"]))
    onnx.save(model, path)

    def open_files():  # but the listing's own descriptor, gone when read
        listed = (os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd"))
        return {target for target in listed if os.path.exists(target)}

    before = open_files()
    model = qelmo.QelmoModel(path)
    # Like any large model it keeps its own file open for sessions, and the
    # folder its weights are looked up in, and nothing else.
    assert open_files() - before == {path, str(tmp_path)}
    session = qelmo.QelmoSession(model, qelmo.CPU)
    x = np.ones((1, K), np.float32)
    session.set_input("x", qelmo.QelmoValue(x))
    np.testing.assert_allclose(session.evaluate()["y"].to_numpy(), x @ w + b, rtol=1e-4, atol=1e-3)


def test_truncated_or_corrupted_large_files_are_refused_at_loading(tmp_path):
    path, _ = weights_model(tmp_path / "large.onnx", seed=11)
    whole = open(path, "rb").read()
    broken = tmp_path / "broken.onnx"
    # The weights' length prefix (field 9, 4-byte varint) made to run past the end.
    length = K * K * 4
    prefix = b"\x4a" + bytes([length & 0x7F | 0x80, length >> 7 & 0x7F | 0x80, length >> 14 & 0x7F | 0x80, length >> 21])
    at = whole.index(prefix)
    overlong = whole[:at] + b"\x4a\xff\xff\xff\x7f" + whole[at + len(prefix) :]
    for content in (whole[: len(whole) // 2], whole[:-1], overlong):
        broken.write_bytes(content)
        notes = failure_notes(lambda: qelmo.QelmoModel(str(broken)))
        assert len(notes) == 1 and notes[0].startswith("status 0x8007000D: not an ONNX model: ")
