"""`qelmo check`: data sets evaluated and compared with their expected
outputs, on the onnx package's own test data and on helper-built models."""

import glob
import os
import shutil

import numpy as np
import onnx
import onnxruntime
import pytest
from onnx import TensorProto, helper, numpy_helper

import qelmo
from cli_support import run_cli
from models import identity_model, make_model, tensor_info

ONNX_DATA = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data")
SUPPLIABLE = {"float32", "float64", "float16", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"}
RETURNED = SUPPLIABLE


def backend_folders():
    return sorted(
        folder
        for group in ("simple", "pytorch-converted", "pytorch-operator")
        for folder in glob.glob(os.path.join(ONNX_DATA, group, "*", ""))
    )


def skip_reason(folder):
    """Why a case cannot pass through qelmo, or None."""
    path = os.path.join(folder, "model.onnx")
    model = qelmo.QelmoModel(path)
    inputs = dict((name, kind) for name, _, kind in model.get_input_details())
    if any(inputs.get(name) not in SUPPLIABLE for name in model.get_input_names()):
        return "inputs of a kind qelmo cannot supply"
    if not any(kind in RETURNED for _, _, kind in model.get_output_details()):
        return "no output of a kind qelmo returns"
    try:
        onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"])
    except Exception as error:  # noqa: BLE001 - a case ONNX Runtime itself cannot run
        return f"ONNX Runtime cannot run it: {str(error).splitlines()[0][:120]}"
    return None


@pytest.mark.parametrize("folder", backend_folders(), ids=lambda folder: "/".join(folder.split(os.sep)[-3:-1]))
def test_onnx_backend_data_sets_pass(capsys, folder):
    reason = skip_reason(folder)
    if reason:
        pytest.skip(reason)
    code, out, err = run_cli(capsys, "check", folder)
    assert code == 0, out + err
    data_sets = glob.glob(os.path.join(folder, "test_data_set_*"))
    assert out.count("\n  pass (") == len(data_sets) and "MISMATCH" not in out


def perturbed_copy(tmp_path, case, change):
    """A copy of an onnx test case whose output_0.pb is changed by `change`."""
    folder = tmp_path / os.path.basename(case)
    shutil.copytree(os.path.join(ONNX_DATA, case), folder)
    expected_path = folder / "test_data_set_0" / "output_0.pb"
    tensor = onnx.TensorProto()
    tensor.ParseFromString(expected_path.read_bytes())
    expected_path.write_bytes(numpy_helper.from_array(change(numpy_helper.to_array(tensor).copy())).SerializeToString())
    return folder


def bump(array):
    array.flat[2] += 0.25
    return array


@pytest.mark.parametrize(
    "change, detail",
    [
        (bump, "max abs diff 0.25  max rel diff 0.333; 1 of 7 values differ beyond the tolerance  MISMATCH"),
        (lambda a: a.astype(np.float64), "dtype float32, expected float64  MISMATCH"),
        (lambda a: a[:6], "shape [7], expected [6]  MISMATCH"),
    ],
)
def test_a_wrong_expected_output_is_a_mismatch(tmp_path, capsys, change, detail):
    folder = perturbed_copy(tmp_path, "simple/test_sign_model", change)
    code, out, err = run_cli(capsys, "check", folder / "model.onnx", folder / "test_data_set_0")
    assert code == 1, out + err
    assert f"  output y: float32 [7]  {detail}" in out
    assert "checked 1 data set: 0 passed" in out


@pytest.mark.parametrize(
    "arguments",
    [
        ["{case}"],
        ["{case}/model.onnx"],
        ["{case}/model.onnx", "{case}"],
        ["{case}/model.onnx", "{case}/test_data_set_0"],
    ],
)
def test_a_model_folder_stands_for_its_model_and_data_sets(capsys, arguments):
    case = os.path.join(ONNX_DATA, "pytorch-converted", "test_Conv2d")
    code, out, err = run_cli(capsys, "check", *[argument.format(case=case) for argument in arguments])
    assert code == 0, out + err
    assert "checked 1 data set: 1 passed" in out


def write_pb(path, array):
    path.write_bytes(numpy_helper.from_array(array).SerializeToString())


def test_the_light_resnet50_output(tmp_path, capsys):
    # Its weights are constants, so its softmax is the same for any image;
    # the shipped output comes without an input, and zeros stand in for one.
    data = tmp_path / "test_data_set_0"
    data.mkdir()
    write_pb(data / "input_0.pb", np.zeros((1, 3, 224, 224), np.float32))
    shutil.copy(os.path.join(ONNX_DATA, "light", "light_resnet50_output_0.pb"), data / "output_0.pb")
    code, out, err = run_cli(capsys, "check", os.path.join(ONNX_DATA, "light", "light_resnet50.onnx"), data)
    assert code == 0, out + err
    assert "  output gpu_0/softmax_1: float32 [1, 1000]  max abs diff" in out


def sum_model(path):
    return make_model(
        path,
        [tensor_info("a", TensorProto.FLOAT, ["n"]), tensor_info("b", TensorProto.FLOAT, ["n"])],
        [tensor_info("total", TensorProto.FLOAT, ["n"]), tensor_info("count", TensorProto.INT64, [1])],
        [helper.make_node("Add", ["a", "b"], ["total"]), helper.make_node("Shape", ["a"], ["count"])],
    )


A = np.array([1.0, np.nan, -3.5], np.float32)
B = np.array([0.5, 1.0, 1e-3], np.float32)


@pytest.mark.parametrize("layout", ["npz_pair", "named_npy"])
def test_numpy_data_sets_compare_nan_as_equal(tmp_path, capsys, layout):
    path = sum_model(tmp_path / "sum.onnx")
    data = tmp_path / "data"
    data.mkdir()
    arrays = {"a": A, "b": B, "total": A + B, "count": np.array([3], np.int64)}
    if layout == "npz_pair":
        np.savez(data / "inputs.npz", a=A, b=B)
        np.savez(data / "outputs.npz", total=arrays["total"], count=arrays["count"])
    else:
        for name, array in arrays.items():
            np.save(data / f"{name}.npy", array)
    code, out, err = run_cli(capsys, "check", path, data)
    assert code == 0, out + err
    assert "  output count: int64 [1]  max abs diff 0 (integers, compared exactly)  pass" in out
    assert "  output total: float32 [3]  max abs diff 0  max rel diff 0  pass" in out


@pytest.mark.parametrize(
    "expected_total, expected_count, options, code",
    [
        (A + B + np.float32(1e-4) * (A + B), [3], [], 0),  # within rtol 1e-3
        (A + B + np.float32(1e-4) * (A + B), [3], ["--rtol", "1e-6"], 1),
        (A + B + np.float32(1e-4) * (A + B), [3], ["--rtol", "0", "--atol", "1e-3"], 0),
        (A + B, [4], ["--atol", "10"], 1),  # integers are compared exactly
        (np.where(np.isnan(A), 0, A + B).astype(np.float32), [3], ["--atol", "1e9"], 1),  # NaN against a number
    ],
)
def test_tolerances(tmp_path, capsys, expected_total, expected_count, options, code):
    path = sum_model(tmp_path / "sum.onnx")
    data = tmp_path / "data"
    data.mkdir()
    np.savez(data / "inputs.npz", a=A, b=B)
    np.savez(data / "outputs.npz", total=expected_total, count=np.array(expected_count, np.int64))
    result, out, err = run_cli(capsys, "check", path, data, *options)
    assert result == code, out + err


def test_float16_expected_outputs_are_compared_in_float32(tmp_path, capsys):
    path = identity_model(tmp_path / "half.onnx", TensorProto.FLOAT16, (3,))
    data = tmp_path / "data"
    data.mkdir()
    values = np.array([0.1, -2.5, 60000], np.float16)
    write_pb(data / "input_0.pb", values)
    write_pb(data / "output_0.pb", values)
    code, out, err = run_cli(capsys, "check", path, data, "--rtol", "0", "--atol", "0")
    assert code == 0, out + err
    assert "  output y: float32 [3]  max abs diff 0" in out


def bool_outputs_model(path, with_float_output):
    outputs = [tensor_info("big", TensorProto.BOOL, [3])]
    nodes = [helper.make_node("Greater", ["x", "x"], ["big"])]
    if with_float_output:
        outputs.append(tensor_info("y", TensorProto.FLOAT, [3]))
        nodes.append(helper.make_node("Neg", ["x"], ["y"]))
    return make_model(path, [tensor_info("x", TensorProto.FLOAT, [3])], outputs, nodes)


@pytest.mark.parametrize("with_float_output, code, verdict", [(True, 0, "  pass (1 compared, 1 not compared)"), (False, 2, "  NOT CHECKED: ")])
def test_outputs_qelmo_leaves_out_are_not_compared(tmp_path, capsys, with_float_output, code, verdict):
    path = bool_outputs_model(tmp_path / "flags.onnx", with_float_output)
    data = tmp_path / "data"
    data.mkdir()
    x = np.array([1, 2, 3], np.float32)
    write_pb(data / "input_0.pb", x)
    write_pb(data / "output_0.pb", np.zeros(3, bool))
    if with_float_output:
        write_pb(data / "output_1.pb", -x)
    result, out, err = run_cli(capsys, "check", path, data)
    assert result == code, out + err
    assert "  output big: not compared: bool tensors are not returned by qelmo" in out
    assert verdict in out


@pytest.mark.parametrize(
    "files, message",
    [
        ({"output_0.pb": np.ones((2, 3), np.float32)}, "has no array for input 'x'"),
        ({"input_0.pb": np.ones((2, 3), np.float32)}, "holds no expected outputs"),
        ({"input_0.pb": np.ones(4, np.float32), "output_0.pb": np.ones(4, np.float32)}, "error: input 'x': shape [4] does not match"),
    ],
)
def test_data_sets_that_cannot_be_checked_exit_2(tmp_path, capsys, identity_path, files, message):
    data = tmp_path / "data"
    data.mkdir()
    for name, array in files.items():
        write_pb(data / name, array)
    good = tmp_path / "good"
    good.mkdir()
    write_pb(good / "input_0.pb", np.ones((2, 3), np.float32))
    write_pb(good / "output_0.pb", np.ones((2, 3), np.float32))
    code, out, err = run_cli(capsys, "check", identity_path, data, good)
    assert code == 2, out + err
    assert message in out and "  ERROR" in out and "checked 2 data sets: 1 passed" in out


def test_a_model_without_data_sets_is_an_error(capsys, identity_path):
    code, _, err = run_cli(capsys, "check", identity_path)
    assert code == 2 and "no data sets given, and no test_data_set_* folders beside" in err


def test_missing_paths_are_called_missing(tmp_path, capsys, identity_path):
    assert run_cli(capsys, "check", tmp_path / "nosuch")[2] == f"qelmo: error: {tmp_path / 'nosuch'} does not exist\n"
    code, out, _ = run_cli(capsys, "check", identity_path, tmp_path / "nosuch")
    assert code == 2 and f"error: {tmp_path / 'nosuch'} does not exist" in out


def test_a_folder_of_model_folders_checks_each(tmp_path, capsys):
    for name in ("a_good", "b_broken"):
        data = tmp_path / name / "test_data_set_0"
        data.mkdir(parents=True)
        write_pb(data / "input_0.pb", np.ones((2, 3), np.float32))
        write_pb(data / "output_0.pb", np.ones((2, 3), np.float32))
    identity_model(tmp_path / "a_good" / "model.onnx")
    (tmp_path / "b_broken" / "model.onnx").write_text("not a model\n")
    (tmp_path / "not_a_model_folder").mkdir()

    code, out, err = run_cli(capsys, "check", tmp_path)
    assert code == 2 and err == ""
    assert "data set   " + str(tmp_path / "a_good" / "test_data_set_0") in out
    assert f"model:     {tmp_path / 'b_broken' / 'model.onnx'}\n  error: not an ONNX model: " in out
    assert f"checked 2 model folders in {tmp_path}: 1 passed, 0 with a mismatch, 1 could not be checked" in out
    # Data sets belong to one model.
    code, _, err = run_cli(capsys, "check", tmp_path, tmp_path / "a_good" / "test_data_set_0")
    assert code == 2 and "holds 2 model folders; give data sets with one model at a time" in err
