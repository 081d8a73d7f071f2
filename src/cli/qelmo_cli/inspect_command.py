"""`qelmo inspect`: a model's metadata and its inputs and outputs."""

import os
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

import qelmo

from qelmo_cli.dimension_names import Dimension, declared_shapes, named_shape
from qelmo_cli.json_report import STDOUT, check_json_target, write_json
from qelmo_cli.table import format_shape, format_table

FeatureDetail = Tuple[str, List[int], str]


def features(
    names: Sequence[str], details: Sequence[FeatureDetail], from_file: Dict[str, List[Dimension]]
) -> List[Dict[str, Any]]:
    """Each feature in the model's order; a tensor's shape with the file's
    names for its free dimensions."""
    by_name = {name: (shape, element_type) for name, shape, element_type in details}
    described: List[Dict[str, Any]] = []
    for name in names:
        if name in by_name:
            shape, element_type = by_name[name]
            described.append(
                {"name": name, "kind": "tensor", "element_type": element_type, "shape": named_shape(shape, from_file.get(name))}
            )
        else:
            # qelmo reports details for tensors only; the rest are sequences or maps.
            described.append({"name": name, "kind": "sequence/map"})
    return described


def feature_rows(direction: str, described: Sequence[Dict[str, Any]]) -> List[List[str]]:
    return [
        [direction, one["name"], one["kind"], one.get("element_type", "-"), format_shape(one["shape"]) if "shape" in one else "-"]
        for one in described
    ]


def inspect_model(path: str, out: TextIO, json_path: Optional[str] = None) -> None:
    if json_path is not None:
        check_json_target(json_path)
    model = qelmo.QelmoModel(path)
    metadata = [
        ("model", model.get_name()),
        ("author", model.get_author()),
        ("domain", model.get_domain()),
        ("description", model.get_description()),
        ("file", path),
    ]
    for label, value in metadata:
        print(f"{label + ':':<13}{value}", file=out)
    print(file=out)
    from_file = declared_shapes(path)
    inputs = features(model.get_input_names(), model.get_input_details(), from_file["inputs"])
    outputs = features(model.get_output_names(), model.get_output_details(), from_file["outputs"])
    rows = feature_rows("input", inputs) + feature_rows("output", outputs)
    for line in format_table(["direction", "name", "kind", "element type", "shape"], rows):
        print(line, file=out)
    if json_path is not None:
        described = {"path": os.path.abspath(path), "name": model.get_name(), "author": model.get_author()}
        described.update(domain=model.get_domain(), description=model.get_description())
        report = {"command": "inspect", "model": described, "inputs": inputs, "outputs": outputs}
        write_json(json_path, report)
        if json_path != STDOUT:
            print(f"\nwrote        {json_path}", file=out)
