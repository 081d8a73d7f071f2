"""Concrete shapes for inputs that qelmo makes up: the model's fixed
dimensions, with its free ones set by --shape or left at 1."""

from typing import Dict, List, Optional, Sequence, Tuple

from qelmo_cli.errors import InputError
from qelmo_cli.named_options import split_named_option
from qelmo_cli.table import format_shape

SHAPE_FORM = "NAME=D0xD1x... (e.g. images=1x3x224x224)"


def parse_shape_options(options: Sequence[str], input_names: Sequence[str]) -> Dict[str, List[int]]:
    shapes: Dict[str, List[int]] = {}
    for option in options:
        name, text = split_named_option("--shape", option, input_names, SHAPE_FORM)
        if name in shapes:
            raise InputError(f"--shape is given twice for input '{name}'")
        shapes[name] = _parse_dimensions(option, text)
    return shapes


def _parse_dimensions(option: str, text: str) -> List[int]:
    if text == "":
        return []  # a scalar
    try:
        dimensions = [int(part) for part in text.lower().split("x")]
    except ValueError:
        raise InputError(f"--shape {option}: expected {SHAPE_FORM}") from None
    if any(size < 0 for size in dimensions):
        raise InputError(f"--shape {option}: dimensions must be 0 or more")
    return dimensions


def concrete_shape(name: str, declared: Sequence[int], requested: Optional[Sequence[int]]) -> Tuple[int, ...]:
    """`declared` has -1 for a free dimension. The runtime reports a tensor
    of unknown rank with no dimensions, so any requested shape fits it."""
    if requested is None:
        return tuple(1 if size < 0 else size for size in declared)
    if declared and len(requested) != len(declared):
        raise InputError(
            f"--shape for input '{name}': the model gives it {len(declared)} dimensions "
            f"({format_shape(declared)}), not {len(requested)}"
        )
    for index, (fixed, wanted) in enumerate(zip(declared, requested)):
        if fixed >= 0 and fixed != wanted:
            raise InputError(
                f"--shape for input '{name}': dimension {index} is fixed at {fixed} by the model "
                f"({format_shape(declared)}), not {wanted}"
            )
    return tuple(requested)
