"""The qelmo command-line tool, on helper-built models, the sample model and
the models shipped in the onnxruntime wheel."""

import glob
import os
import subprocess
import sys

import numpy as np
import onnxruntime
import pytest
from onnx import TensorProto, helper

from models import make_model, sequence_info, tensor_info
from qelmo_cli.main import main
from qelmo_cli.sample import SAMPLE_MODEL_PATH

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run_cli(capsys, *argv):
    code = main(list(argv))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def test_shipped_sample_is_what_the_generator_writes():
    sys.path.insert(0, os.path.join(REPO, "examples"))
    try:
        import sample_model
    finally:
        sys.path.pop(0)
    with open(SAMPLE_MODEL_PATH, "rb") as shipped:
        assert shipped.read() == sample_model.build().SerializeToString()


def test_without_arguments_the_sample_is_inspected_and_run():
    result = subprocess.run([sys.executable, "-m", "qelmo_cli"], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "input      features       tensor  float32       [?, 4]" in result.stdout
    assert "output  probabilities: float32 [1, 3]" in result.stdout


def test_inspect_lists_every_feature(tmp_path, capsys):
    path = make_model(
        tmp_path / "m.onnx",
        [tensor_info("ids", TensorProto.INT64, ["batch", 5]), sequence_info("history")],
        [tensor_info("scores", TensorProto.DOUBLE, [None])],
        graph_name="ranker",
        producer_name="tests",
    )
    code, out, _ = run_cli(capsys, "inspect", path)
    assert code == 0
    lines = out.splitlines()
    assert "model:       ranker" in lines and "author:      tests" in lines
    table = lines[lines.index("") + 1 :]
    assert [line.split() for line in table] == [
        ["direction", "name", "kind", "element", "type", "shape"],
        ["input", "ids", "tensor", "int64", "[?,", "5]"],
        ["input", "history", "sequence/map", "-", "-"],
        ["output", "scores", "tensor", "float64", "[?]"],
    ]


def test_run_takes_inputs_from_files_and_saves_outputs_inside_the_folder(tmp_path, capsys):
    path = make_model(
        tmp_path / "m.onnx",
        [tensor_info("a=b", TensorProto.INT32, [2, 2])],
        [tensor_info("../y", TensorProto.INT32, [2, 2])],
        [helper.make_node("Identity", ["a=b"], ["../y"])],
    )
    given = np.array([[1, 2], [3, 4]], np.int32)
    np.save(tmp_path / "in.npy", given)
    out_dir = tmp_path / "out"
    code, out, err = run_cli(capsys, "run", path, "--input", f"a=b={tmp_path / 'in.npy'}", "--output-dir", str(out_dir))
    assert code == 0, err
    assert "output  ../y: int32 [2, 2] [1, 2, 3, 4]" in out
    assert os.listdir(out_dir) == ["_.._y.npy"]
    np.testing.assert_array_equal(np.load(out_dir / "_.._y.npy"), given)


def test_run_makes_random_inputs_and_times_repeats(tmp_path, capsys):
    path = make_model(
        tmp_path / "m.onnx",
        [tensor_info("x", TensorProto.UINT16, ["n", 3])],
        [tensor_info("y", TensorProto.UINT16, ["n", 3])],
        [helper.make_node("Identity", ["x"], ["y"])],
    )
    code, out, err = run_cli(capsys, "run", path, "--repeat", "5", "--seed", "7")
    assert code == 0, err
    assert "input   x: uint16 [1, 3]" in out
    assert "latency over 5 runs (ms): min " in out and " p99 " in out


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--input", "z=in.npy"], "the model has no input named 'z' (its inputs: x)"),
        (["--input", "x=absent.npy"], "input 'x': cannot read absent.npy"),
        (["--input", "x=wrong.npy"], "status 0x80070057: input 'x': shape [4] does not match the model's [2, 3]"),
    ],
)
def test_run_reports_bad_inputs_clearly(tmp_path, capsys, identity_path, monkeypatch, argv, message):
    monkeypatch.chdir(tmp_path)
    np.save("wrong.npy", np.zeros(4, np.float32))
    code, out, err = run_cli(capsys, "run", identity_path, *argv)
    assert code == 1
    assert message in err and "Traceback" not in err


def test_run_refuses_element_types_qelmo_cannot_supply(tmp_path, capsys):
    path = make_model(tmp_path / "m.onnx", [tensor_info("h", TensorProto.FLOAT16, [2])], [tensor_info("h", TensorProto.FLOAT16, [2])])
    code, _, err = run_cli(capsys, "run", path)
    assert code == 1 and "input 'h' takes float16 tensors, which qelmo cannot supply" in err


@pytest.mark.parametrize(
    "path", sorted(glob.glob(os.path.join(os.path.dirname(onnxruntime.__file__), "datasets", "*.onnx")))
)
def test_models_shipped_with_onnxruntime(path, capsys):
    assert run_cli(capsys, "inspect", path)[0] == 0
    code, out, err = run_cli(capsys, "run", path)
    assert code == 0, err
    assert "output  " in out
