"""`qelmo inspect`: the names of free dimensions read from the file, and its
JSON report."""

import glob
import json
import os

import onnx
import pytest
from onnx import TensorProto, helper

from cli_support import run_cli
from models import make_model, sequence_info, tensor_info
from qelmo_cli.dimension_names import declared_shapes, named_shape

ONNX_DATA = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data")
ONNX_MODELS = sorted(glob.glob(os.path.join(ONNX_DATA, "**", "*.onnx"), recursive=True))


def shapes_by_onnx(path):
    """What the onnx package reads from the file: None for a free dimension without a name."""
    graph = onnx.load(path, load_external_data=False).graph
    found = {}
    for kind, infos in (("inputs", graph.input), ("outputs", graph.output)):
        found[kind] = {}
        for info in infos:
            which = info.type.WhichOneof("value")
            if which in ("tensor_type", "sparse_tensor_type") and getattr(info.type, which).HasField("shape"):
                dims = getattr(info.type, which).shape.dim
                found[kind][info.name] = [
                    d.dim_value if d.HasField("dim_value") else (d.dim_param or None) for d in dims
                ]
    return found


@pytest.mark.parametrize("path", ONNX_MODELS, ids=lambda path: os.path.relpath(path, ONNX_DATA))
def test_shapes_read_from_the_file_are_the_onnx_packages(path):
    assert declared_shapes(path) == shapes_by_onnx(path)


def test_a_damaged_file_gives_no_names_and_no_error(tmp_path):
    path = make_model(
        tmp_path / "m.onnx",
        [tensor_info("x", TensorProto.FLOAT, ["batch", 4])],
        [tensor_info("y", TensorProto.FLOAT, ["batch", 4])],
        [helper.make_node("Identity", ["x"], ["y"])],
    )
    whole = open(path, "rb").read()
    assert declared_shapes(path)["inputs"] == {"x": ["batch", 4]}
    damaged = tmp_path / "damaged.onnx"
    for end in range(len(whole)):  # every truncation, then every byte flipped
        damaged.write_bytes(whole[:end])
        assert set(declared_shapes(str(damaged))) == {"inputs", "outputs"}
    for index in range(len(whole)):
        damaged.write_bytes(whole[:index] + bytes([whole[index] ^ 0xFF]) + whole[index + 1 :])
        assert set(declared_shapes(str(damaged))) == {"inputs", "outputs"}
    assert declared_shapes(str(tmp_path / "absent.onnx")) == {"inputs": {}, "outputs": {}}


@pytest.mark.parametrize(
    "declared, from_file, shown",
    [
        ([-1, 4], ["batch", 4], ["batch", 4]),
        ([-1, -1], [None, "seq"], [None, "seq"]),
        ([-1, 4], None, [None, 4]),
        # The runtime's shape is what counts: a file that disagrees gives no names.
        ([-1, 4], ["batch", 5], [None, 4]),
        ([-1, 4], ["batch"], [None, 4]),
        ([], None, []),
    ],
)
def test_names_go_where_the_runtime_has_a_free_dimension(declared, from_file, shown):
    assert named_shape(declared, from_file) == shown


def test_inspect_shows_names_and_writes_json(tmp_path, capsys):
    path = make_model(
        tmp_path / "m.onnx",
        [tensor_info("ids", TensorProto.INT64, ["batch", None, 5]), sequence_info("history")],
        [tensor_info("scores", TensorProto.DOUBLE, ["batch"])],
        graph_name="ranker",
        producer_name="tests",
    )
    report_path = tmp_path / "inspect.json"
    code, out, err = run_cli(capsys, "inspect", path, "--json", report_path)
    assert code == 0, err
    assert "input      ids      tensor        int64         [batch, ?, 5]" in out.splitlines()
    assert json.loads(report_path.read_text()) == {
        "command": "inspect",
        "model": {"path": path, "name": "ranker", "author": "tests", "domain": "", "description": ""},
        "inputs": [
            {"name": "ids", "kind": "tensor", "element_type": "int64", "shape": ["batch", None, 5]},
            {"name": "history", "kind": "sequence/map"},
        ],
        "outputs": [{"name": "scores", "kind": "tensor", "element_type": "float64", "shape": ["batch"]}],
    }
