"""The qelmo command-line tool, on helper-built models, the sample model and
the models shipped in the onnxruntime wheel."""

import glob
import json
import os
import re
import subprocess
import sys

import numpy as np
import onnxruntime
import pytest
from onnx import TensorProto, helper

import eval_models
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


def test_the_sample_generator_takes_help_as_help(tmp_path):
    script = os.path.join(REPO, "examples", "sample_model.py")
    result = subprocess.run([sys.executable, script, "--help"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and "usage:" in result.stdout
    assert os.listdir(tmp_path) == []


def test_without_arguments_the_sample_is_inspected_and_run():
    result = subprocess.run([sys.executable, "-m", "qelmo_cli"], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "input      features       tensor  float32       [batch, 4]" in result.stdout
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
        ["input", "ids", "tensor", "int64", "[batch,", "5]"],
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


def test_run_shows_saves_and_reports_outputs_in_the_models_order(tmp_path, capsys):
    names = ["out_a", "zz", "b0", "m", "c9"]
    path = eval_models.outputs_named(tmp_path / "m.onnx", names)
    code, out, err = run_cli(capsys, "run", path, "--output-dir", str(tmp_path / "out"), "--json", str(tmp_path / "r.json"))
    assert code == 0, err
    assert re.findall(r"^output  (\w+): ", out, re.M) == names
    assert re.findall(r"^saved   (\w+) to ", out, re.M) == names
    assert [output["name"] for output in json.loads((tmp_path / "r.json").read_text())["outputs"]] == names


def test_run_makes_random_inputs_and_times_repeats(tmp_path, capsys):
    path = make_model(
        tmp_path / "m.onnx",
        [tensor_info("x", TensorProto.UINT16, ["n", 3])],
        [tensor_info("y", TensorProto.UINT16, ["n", 3])],
        [helper.make_node("Identity", ["x"], ["y"])],
    )
    code, out, err = run_cli(capsys, "run", path, "--repeat", "5", "--seed", "7")
    assert code == 0, err
    # Integers that are not given are zeros: a valid index for any model.
    assert "input   x: uint16 [1, 3] [0, 0, 0]" in out
    assert re.search(r"latency over 5 runs \((ns|µs|ms|s)\): min [\d.]+  p50 ", out) and " p99 " in out
    assert re.search(r"throughput: [\d,.]+ runs/s \(5 runs in ", out)


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--input", "z=in.npy"], "the model has no input named 'z' (its inputs: x)"),
        (["--input", "x=absent.npy"], "input 'x': cannot read absent.npy"),
        # A runtime refusal: the cause as the headline, the fixed text and status below.
        (
            ["--input", "x=wrong.npy"],
            "qelmo: error: input 'x': shape [4] does not match the model's [2, 3]\n"
            "  (RuntimeError: Caught an unknown exception!; status 0x80070057)\n",
        ),
    ],
)
def test_run_reports_bad_inputs_clearly(tmp_path, capsys, identity_path, monkeypatch, argv, message):
    monkeypatch.chdir(tmp_path)
    np.save("wrong.npy", np.zeros(4, np.float32))
    code, out, err = run_cli(capsys, "run", identity_path, *argv)
    assert code == 1
    assert message in err and "Traceback" not in err


def test_run_refuses_element_types_qelmo_cannot_supply(tmp_path, capsys):
    path = make_model(tmp_path / "m.onnx", [tensor_info("b", TensorProto.BOOL, [2])], [tensor_info("b", TensorProto.BOOL, [2])])
    code, _, err = run_cli(capsys, "run", path)
    assert code == 1 and "input 'b' takes bool tensors, which qelmo cannot supply" in err


def test_run_feeds_float16_inputs_from_float32_arrays(tmp_path, capsys):
    path = make_model(
        tmp_path / "m.onnx",
        [tensor_info("h", TensorProto.FLOAT16, [2])],
        [tensor_info("y", TensorProto.FLOAT16, [2])],
        [helper.make_node("Identity", ["h"], ["y"])],
    )
    code, out, err = run_cli(capsys, "run", path)
    assert code == 0, err
    assert "input   h: float32 [2]" in out and "output  y: float32 [2]" in out


@pytest.mark.parametrize(
    "path", sorted(glob.glob(os.path.join(os.path.dirname(onnxruntime.__file__), "datasets", "*.onnx")))
)
def test_models_shipped_with_onnxruntime(path, capsys):
    assert run_cli(capsys, "inspect", path)[0] == 0
    code, out, err = run_cli(capsys, "run", path)
    assert code == 0, err
    assert "output  " in out


def test_version_names_qelmo_and_what_it_runs_on(capsys):
    with pytest.raises(SystemExit) as exited:
        main(["--version"])
    assert exited.value.code == 0
    out = capsys.readouterr().out
    assert re.match(r"qelmo \S+ \(onnxruntime \S+ from /\S+, numpy \S+, Python \d+\.\d+\.\d+\)$", out.strip()), out
    # The library beside the onnxruntime package that qelmo is installed with.
    assert f"numpy {np.__version__}" in out and f"onnxruntime {onnxruntime.__version__} from /" in out
    assert f"/onnxruntime/capi/libonnxruntime.so.{onnxruntime.__version__}," in out


def test_a_closed_pipe_ends_the_tool_quietly(tmp_path):
    # Enough inputs for the table to outgrow any pipe buffer.
    path = make_model(tmp_path / "wide.onnx", [tensor_info(f"input_{n:05}", TensorProto.FLOAT, [1]) for n in range(4000)])
    child = subprocess.Popen(
        [sys.executable, "-m", "qelmo_cli", "inspect", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    assert child.stdout.readline().startswith(b"model:")
    child.stdout.close()  # as `head -1` does
    stderr = child.stderr.read().decode()
    assert child.wait(timeout=120) == 141
    assert stderr == ""


@pytest.mark.parametrize("target", ["a_file", "a_file/below"])
def test_an_unusable_output_folder_fails_before_evaluating(tmp_path, capsys, target):
    (tmp_path / "a_file").write_text("kept")
    code, out, err = run_cli(capsys, "run", "--output-dir", str(tmp_path / target))
    assert code == 1 and f"qelmo: error: --output-dir {tmp_path / target}: " in err
    assert out == "" and (tmp_path / "a_file").read_text() == "kept"


@pytest.mark.parametrize("argv", [["run"], ["bench", "--repeat", "3"]])
def test_json_dash_is_standard_output(tmp_path, capsys, monkeypatch, argv):
    monkeypatch.chdir(tmp_path)
    code, out, err = run_cli(capsys, *argv, "--json", "-")
    assert code == 0, err
    assert json.loads(out)["command"] == argv[0]
    assert "output  probabilities" in err or "throughput:" in err  # the report, off stdout
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "argv, error",
    [
        (["check"], "qelmo check: error: the following arguments are required: MODEL"),  # DATASET is optional
        (
            ["model.onnx"],
            "qelmo: error: 'model.onnx' is not a command. "
            "To run the model: qelmo run model.onnx; to see its inputs and outputs: qelmo inspect model.onnx",
        ),
        (["my model"], "qelmo: error: argument COMMAND: invalid choice: 'my model' (choose from "),  # not a file
    ],
)
def test_command_line_mistakes_get_a_remedy(capsys, argv, error):
    with pytest.raises(SystemExit) as exited:
        main(argv)
    assert exited.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1].startswith(error)


@pytest.mark.parametrize("verbose", [[], ["-v"], ["--verbose"]])
def test_the_onnx_readers_detail_is_shown_with_verbose_only(tmp_path, capsys, monkeypatch, verbose):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "notes.txt").write_text("some notes\n")
    for argv in (verbose + ["run", "notes.txt"], ["inspect", "notes.txt"] + verbose):
        code, out, err = run_cli(capsys, *argv)
        headline = err.splitlines()[0]
        assert code == 1 and headline.startswith("qelmo: error: not an ONNX model: notes.txt looks like text")
        assert ("(ONNX reader: " in headline) == bool(verbose)


def runtime_refusal(*notes):
    error = RuntimeError("Caught an unknown exception!")
    error.__notes__ = list(notes)  # what add_note does, on every Python
    return error


@pytest.mark.parametrize(
    "error, lines",
    [
        (
            runtime_refusal("status 0x80070002: model file not found: /m.onnx"),
            ["qelmo: error: model file not found: /m.onnx", "  (RuntimeError: Caught an unknown exception!; status 0x80070002)"],
        ),
        (runtime_refusal("a note without a status"), ["qelmo: error: Caught an unknown exception!", "  a note without a status"]),
        # ONNX Runtime's warnings, on the lines after the cause.
        (
            runtime_refusal("status 0x80004005: could not prepare: X\nONNX Runtime warned: upgrade"),
            [
                "qelmo: error: could not prepare: X",
                "  (RuntimeError: Caught an unknown exception!; status 0x80004005)",
                "  ONNX Runtime warned: upgrade",
            ],
        ),
        (RuntimeError("Unsupported numpy data type"), ["qelmo: error: Unsupported numpy data type"]),
        (MemoryError(), ["qelmo: error: MemoryError"]),
    ],
)
def test_error_headlines(error, lines):
    from qelmo_cli.errors import error_lines

    assert error_lines(error) == lines
