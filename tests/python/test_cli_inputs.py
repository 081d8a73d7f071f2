"""Inputs for `qelmo run` and `qelmo bench`: files told apart by content,
data folders, shapes for free dimensions, made-up values and dtype checks."""

import pickle
import sys

import numpy as np
import pytest
from onnx import TensorProto, helper, numpy_helper

from cli_support import run_cli
from models import identity_model, make_model, tensor_info


def write_pb(path, array, name=""):
    path.write_bytes(numpy_helper.from_array(array, name).SerializeToString())


@pytest.fixture
def gather_path(tmp_path):
    """data [5, 3] float32 gathered by integer indices [n]: out-of-range
    indices are refused by ONNX Runtime."""
    return make_model(
        tmp_path / "gather.onnx",
        [tensor_info("data", TensorProto.FLOAT, [5, 3]), tensor_info("idx", TensorProto.INT64, ["n"])],
        [tensor_info("out", TensorProto.FLOAT, ["n", 3])],
        [helper.make_node("Gather", ["data", "idx"], ["out"], axis=0)],
    )


GIVEN = np.arange(6, dtype=np.float32).reshape(2, 3)


@pytest.mark.parametrize(
    "file_name, write",
    [
        ("plain.npy", lambda path: np.save(path, GIVEN)),
        # Named for another kind: the content decides.
        ("really_npy.pb", lambda path: path.write_bytes(_npy_bytes(GIVEN))),
        ("one.npz", lambda path: np.savez(path, anything=GIVEN)),
        ("named.npz", lambda path: np.savez(path, x=GIVEN, other=np.zeros(1))),
        ("tensor.pb", lambda path: write_pb(path, GIVEN)),
        ("big_endian.npy", lambda path: np.save(path, GIVEN.astype(">f4"))),
    ],
)
def test_input_files_are_read_by_content(tmp_path, capsys, identity_path, file_name, write):
    target = tmp_path / file_name
    write(target)
    code, out, err = run_cli(capsys, "run", identity_path, "--input", f"x={target}")
    assert code == 0, err
    assert "output  y: float32 [2, 3] [0, 1, 2, 3, 4, 5]" in out


def _npy_bytes(array):
    import io

    buffer = io.BytesIO()
    np.save(buffer, array)
    return buffer.getvalue()


@pytest.mark.parametrize(
    "file_name, content, message",
    [
        ("empty.npy", b"", "{bad} is empty"),
        ("text.npy", b"1.0, 2.0, 3.0\n4.0, 5.0, 6.0\n", "{bad} is a text file"),
        ("pickle.npy", pickle.dumps(GIVEN), "{bad} is a Python pickle, which qelmo does not load"),
        ("objects.npy", "objects", "{bad}: the array holds Python objects"),
        ("truncated.npy", _npy_bytes(GIVEN)[:-5], "cannot read {bad} as .npy"),
        ("several.npz", "several", "{bad} holds several arrays (a, b) and none is named 'x'"),
        ("empty.npz", "empty_npz", "{bad} holds no arrays"),
        ("model.pb", "model", "{bad} is an ONNX model, not a tensor"),
        ("garbage.pb", b"\xff\xfe\x00\x01" * 8, "{bad} is not a .npy, .npz or ONNX TensorProto file"),
        ("wrong_dims.pb", "wrong_dims", "{bad} does not hold a readable ONNX tensor"),
        ("bad_type.pb", "bad_type", "{bad} is not an ONNX tensor: it declares element type 99, which ONNX does not define"),
        # An unterminated string in the header: numpy's parser fails with a tokenizer error.
        ("bad_header.npy", _npy_bytes(GIVEN).replace(b"'descr'", b"'descr", 1), "cannot read {bad} as .npy"),
    ],
)
def test_unreadable_input_files_are_named_with_the_reason(tmp_path, capsys, identity_path, file_name, content, message):
    target = tmp_path / "bad"
    if content == "objects":
        np.save(target.with_suffix(".npy"), np.array([{}, None], dtype=object), allow_pickle=True)
        target.with_suffix(".npy").rename(target)
    elif content == "several":
        np.savez(tmp_path / "bad.npz", a=GIVEN, b=GIVEN)
        (tmp_path / "bad.npz").rename(target)
    elif content == "empty_npz":
        np.savez(tmp_path / "bad.npz")
        (tmp_path / "bad.npz").rename(target)
    elif content == "model":
        target.write_bytes(open(identity_path, "rb").read())
    elif content in ("wrong_dims", "bad_type"):
        tensor = numpy_helper.from_array(GIVEN)
        if content == "wrong_dims":
            tensor.dims[0] = 7
        else:
            tensor.data_type = 99
        target.write_bytes(tensor.SerializeToString())
    else:
        target.write_bytes(content)
    code, _, err = run_cli(capsys, "run", identity_path, "--input", f"x={target}")
    assert code == 1
    assert "qelmo: error: input 'x': " + message.format(bad=target) in err, err
    assert "Traceback" not in err


def test_pb_files_without_onnx_name_the_extra(tmp_path, capsys, identity_path, monkeypatch):
    write_pb(tmp_path / "x.pb", GIVEN)
    monkeypatch.setitem(sys.modules, "onnx", None)  # import onnx now fails
    code, _, err = run_cli(capsys, "run", identity_path, "--input", f"x={tmp_path / 'x.pb'}")
    assert code == 1
    assert "reading .pb tensor files needs the onnx package: pip install 'qelmo[onnx]'" in err
    # .npy files need no onnx.
    np.save(tmp_path / "x.npy", GIVEN)
    assert run_cli(capsys, "run", identity_path, "--input", f"x={tmp_path / 'x.npy'}")[0] == 0


@pytest.mark.parametrize(
    "dtype, shown",
    [(np.bool_, "bool"), (np.float16, "float16"), (np.complex64, "complex64"), (np.dtype("U3"), "<U3")],
)
def test_unsupported_dtypes_name_the_input_and_the_supported_list(tmp_path, capsys, identity_path, dtype, shown):
    np.save(tmp_path / "a.npy", np.zeros((2, 3), dtype=dtype))
    code, _, err = run_cli(capsys, "run", identity_path, "--input", f"x={tmp_path / 'a.npy'}")
    assert code == 1
    assert f"input 'x': numpy dtype {shown} is not supported; supported: float32, float64, int8" in err
    assert "uint64" in err and "Traceback" not in err


def test_float16_data_for_a_float16_input_is_accepted(tmp_path, capsys):
    path = identity_model(tmp_path / "h.onnx", TensorProto.FLOAT16, (3,))
    np.save(tmp_path / "h.npy", np.array([0.5, -2, 65504], np.float16))
    code, out, err = run_cli(capsys, "run", path, "--input", f"x={tmp_path / 'h.npy'}")
    assert code == 0, err
    assert "output  y: float32 [3] [0.5, -2, 6.55e+04]" in out


def test_integer_inputs_default_to_zeros_and_take_a_range(capsys, gather_path):
    code, out, err = run_cli(capsys, "run", gather_path, "--shape", "idx=4")
    assert code == 0, err
    assert "input   idx: int64 [4] [0, 0, 0, 0]" in out
    code, out, err = run_cli(capsys, "run", gather_path, "--shape", "idx=200", "--int-range", "2:5", "--seed", "3")
    assert code == 0, err
    line = next(line for line in out.splitlines() if line.startswith("input   idx"))
    values = [int(value) for value in line.split("[", 2)[2].split("...")[0].strip(", ").split(", ")]
    assert set(values) <= {2, 3, 4} and len(set(values)) == 3


def test_an_int_range_that_does_not_fit_the_dtype_is_refused(tmp_path, capsys):
    path = identity_model(tmp_path / "u8.onnx", TensorProto.UINT8, (4,))
    code, _, err = run_cli(capsys, "run", path, "--int-range=-1:10")
    assert code == 1 and "--int-range -1:10 does not fit input 'x' (uint8 holds 0 to 255)" in err


@pytest.mark.parametrize(
    "option, message",
    [
        ("x=2x5x1", "--shape for input 'x': dimension 1 is fixed at 4 by the model ([?, 4, ?]), not 5"),
        ("x=2x4", "--shape for input 'x': the model gives it 3 dimensions ([?, 4, ?]), not 2"),
        ("x=2x4xq", "--shape x=2x4xq: expected NAME=D0xD1x..."),
        ("x=2x-4x1", "--shape x=2x-4x1: dimensions must be 0 or more"),
        ("x", "--shape x: expected NAME=D0xD1x..."),
        ("z=1", "--shape z=1: the model has no input named 'z' (its inputs: x)"),
    ],
)
def test_shapes_that_contradict_the_model_are_refused(tmp_path, capsys, option, message):
    path = identity_model(tmp_path / "free.onnx", TensorProto.FLOAT, ("n", 4, None))
    code, _, err = run_cli(capsys, "run", path, "--shape", option)
    assert code == 1 and message in err, err


def test_shapes_set_free_dimensions(tmp_path, capsys):
    path = identity_model(tmp_path / "free.onnx", TensorProto.FLOAT, ("n", 4, None))
    code, out, err = run_cli(capsys, "run", path, "--shape", "x=3x4x2")
    assert code == 0, err
    assert "output  y: float32 [3, 4, 2]" in out
    assert "input   x: float32 [1, 4, 1]" in run_cli(capsys, "run", path)[1]


def two_input_model(path):
    return make_model(
        path,
        [tensor_info("a", TensorProto.FLOAT, [2]), tensor_info("b/c", TensorProto.INT32, [2])],
        [tensor_info("sum", TensorProto.FLOAT, [2])],
        [helper.make_node("Cast", ["b/c"], ["bf"], to=TensorProto.FLOAT), helper.make_node("Add", ["a", "bf"], ["sum"])],
    )


A, B = np.array([1.5, 2.5], np.float32), np.array([10, 20], np.int32)


@pytest.mark.parametrize(
    "layout",
    ["numbered_pb", "npz_pair", "named_npy", "named_npy_with_outputs"],
)
def test_input_folders_in_each_layout(tmp_path, capsys, layout):
    path = two_input_model(tmp_path / "two.onnx")
    folder = tmp_path / "data"
    folder.mkdir()
    if layout == "numbered_pb":
        write_pb(folder / "input_0.pb", A)
        write_pb(folder / "input_1.pb", B)
        write_pb(folder / "output_0.pb", A + B)  # expected outputs are ignored by run
    elif layout == "npz_pair":
        np.savez(folder / "inputs.npz", **{"a": A, "b/c": B})
    elif layout == "named_npy":
        np.save(folder / "a.npy", A)
        np.save(folder / "b_c.npy", B)  # input "b/c", by the plain file name --output-dir gives it
    else:
        np.save(folder / "a.npy", A)
        np.save(folder / "b_c.npy", B)
        np.save(folder / "sum.npy", A + B)
    code, out, err = run_cli(capsys, "run", path, "--inputs", folder)
    assert code == 0, err
    assert "output  sum: float32 [2] [11.5, 22.5]" in out


def test_an_input_option_takes_the_place_of_the_folders_array(tmp_path, capsys):
    path = two_input_model(tmp_path / "two.onnx")
    folder = tmp_path / "data"
    folder.mkdir()
    write_pb(folder / "input_0.pb", A)
    np.save(tmp_path / "a.npy", A * 2)
    code, out, err = run_cli(capsys, "run", path, "--inputs", folder, "--input", f"a={tmp_path / 'a.npy'}")
    assert code == 0, err
    assert "output  sum: float32 [2] [3, 5]" in out  # b, absent from the folder, is zeros


@pytest.mark.parametrize(
    "files, message",
    [
        ({}, "holds no input_K.pb files, no inputs.npz and no NAME.npy files"),
        ({"input_1.pb": A}, "has 1 input_K.pb files but no input_0.pb"),
        ({"input_0.pb": A, "input_1.pb": B, "input_2.pb": A}, "has 3 input_K.pb files but the model has 2 inputs"),
        ({"stray.npy": A}, "stray.npy is named after none of the model's inputs (a, b/c) or outputs (sum)"),
        ({"inputs.npz": {"q": A}}, "inputs.npz: array 'q' is named after no input of the model (a, b/c)"),
    ],
)
def test_input_folders_that_do_not_fit_the_model(tmp_path, capsys, files, message):
    path = two_input_model(tmp_path / "two.onnx")
    folder = tmp_path / "data"
    folder.mkdir()
    for name, content in files.items():
        if name.endswith(".pb"):
            write_pb(folder / name, content)
        elif name.endswith(".npz"):
            np.savez(folder / name, **content)
        else:
            np.save(folder / name, content)
    code, _, err = run_cli(capsys, "run", path, "--inputs", folder)
    assert code == 1 and message in err, err


@pytest.mark.parametrize(
    "element_type, given, wanted",
    [
        (TensorProto.FLOAT, np.float64, "float32"),  # numpy's default floats
        (TensorProto.FLOAT, np.int64, "float32"),  # numpy's default integers
        (TensorProto.FLOAT16, np.float64, "float32"),  # float16 inputs take float32 arrays
        (TensorProto.INT32, np.int64, "int32"),
    ],
)
def test_an_array_of_another_dtype_than_the_input_says_how_to_convert_it(tmp_path, capsys, element_type, given, wanted):
    path = identity_model(tmp_path / "m.onnx", element_type)
    np.save(tmp_path / "a.npy", np.zeros((2, 3), given))
    code, out, err = run_cli(capsys, "run", path, "--input", f"x={tmp_path / 'a.npy'}")
    assert code == 1 and out == ""  # refused before anything ran
    assert f"the array from {tmp_path / 'a.npy'} is {np.dtype(given).name}, but the model takes " in err
    assert f"convert it with array.astype(numpy.{wanted})" in err
