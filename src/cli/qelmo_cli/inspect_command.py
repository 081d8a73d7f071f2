"""`qelmo inspect`: a model's metadata and its inputs and outputs."""

from typing import List, Sequence, TextIO, Tuple

import qelmo

from qelmo_cli.table import format_shape, format_table

FeatureDetail = Tuple[str, List[int], str]


def feature_rows(direction: str, names: Sequence[str], details: Sequence[FeatureDetail]) -> List[List[str]]:
    by_name = {name: (shape, element_type) for name, shape, element_type in details}
    rows = []
    for name in names:
        if name in by_name:
            shape, element_type = by_name[name]
            rows.append([direction, name, "tensor", element_type, format_shape(shape)])
        else:
            # qelmo reports details for tensors only; the rest are sequences or maps.
            rows.append([direction, name, "sequence/map", "-", "-"])
    return rows


def inspect_model(path: str, out: TextIO) -> None:
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
    rows = feature_rows("input", model.get_input_names(), model.get_input_details())
    rows += feature_rows("output", model.get_output_names(), model.get_output_details())
    for line in format_table(["direction", "name", "kind", "element type", "shape"], rows):
        print(line, file=out)
