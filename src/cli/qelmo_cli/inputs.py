"""Input arrays for `qelmo run`: loaded from .npy files or made up from the
model's declared element types and shapes."""

from typing import Dict, List, Sequence, Tuple

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[np.generic]

# The element types qelmo can hand to a model, by the names it reports.
SUPPLIABLE_TYPES = {
    "float32": np.float32,
    "float64": np.float64,
    "int8": np.int8,
    "int16": np.int16,
    "int32": np.int32,
    "int64": np.int64,
    "uint8": np.uint8,
    "uint16": np.uint16,
    "uint32": np.uint32,
    "uint64": np.uint64,
}


class InputError(Exception):
    """An input the user named or the model declares cannot be supplied."""


def parse_input_option(option: str, input_names: Sequence[str]) -> Tuple[str, str]:
    """Splits NAME=FILE. Input names may contain '=' themselves, so the name
    is matched against the model's input names, longest first."""
    for name in sorted(input_names, key=len, reverse=True):
        if option.startswith(name + "="):
            return name, option[len(name) + 1 :]
    name = option.split("=", 1)[0]
    if "=" not in option:
        raise InputError(f"--input {option}: expected NAME=FILE.npy")
    known = ", ".join(input_names) or "none"
    raise InputError(f"--input {option}: the model has no input named '{name}' (its inputs: {known})")


def load_array(name: str, path: str) -> Array:
    try:
        loaded = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as error:
        raise InputError(f"input '{name}': cannot read {path}: {error}") from None
    if not isinstance(loaded, np.ndarray):
        loaded.close()
        raise InputError(f"input '{name}': {path} holds several arrays; give a .npy file with one")
    return loaded


def random_array(name: str, shape: Sequence[int], element_type: str, rng: np.random.Generator) -> Array:
    """Values of the declared type; free dimensions become 1. Integers stay
    in 0..9 so that models using them as indices or counts accept them."""
    dtype = SUPPLIABLE_TYPES.get(element_type)
    if dtype is None:
        raise InputError(
            f"input '{name}' takes {element_type} tensors, which qelmo cannot supply; "
            f"supported: {', '.join(SUPPLIABLE_TYPES)}"
        )
    concrete = [1 if size < 0 else size for size in shape]
    if np.issubdtype(dtype, np.floating):
        return rng.standard_normal(concrete).astype(dtype)
    return rng.integers(0, 10, size=concrete).astype(dtype)


def build_inputs(
    options: Sequence[str],
    input_names: Sequence[str],
    details: Sequence[Tuple[str, List[int], str]],
    seed: int,
) -> Dict[str, Array]:
    given: Dict[str, Array] = {}
    for option in options:
        name, path = parse_input_option(option, input_names)
        if name in given:
            raise InputError(f"input '{name}' is given twice")
        given[name] = load_array(name, path)

    rng = np.random.default_rng(seed)
    declared = {name: (shape, element_type) for name, shape, element_type in details}
    arrays: Dict[str, Array] = {}
    for name in input_names:
        if name in given:
            arrays[name] = given[name]
        elif name in declared:
            shape, element_type = declared[name]
            arrays[name] = random_array(name, shape, element_type, rng)
        else:
            raise InputError(f"input '{name}' is a sequence or map, which qelmo cannot supply")
    return arrays
