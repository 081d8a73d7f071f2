"""Input arrays for a model: read from files and folders the user names, or
made up from the model's declared element types and shapes."""

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np
import qelmo

from qelmo_cli.data_folders import describe_ref, scan_data_folder
from qelmo_cli.errors import InputError
from qelmo_cli.named_options import split_named_option
from qelmo_cli.shapes import concrete_shape, parse_shape_options
from qelmo_cli.tensor_files import Array, read_array

# The numpy dtypes qelmo can hand to a model, named as the model names them.
SUPPORTED_DTYPES = ("float32", "float64", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64")
SUPPORTED_LIST = ", ".join(SUPPORTED_DTYPES)


@dataclass
class InputOptions:
    """What the user asked for: NAME=FILE options, a data folder, NAME=SHAPE
    options, a range for random integers and the random seed."""

    files: Sequence[str] = ()
    folder: Optional[str] = None
    shapes: Sequence[str] = ()
    int_range: Optional[Tuple[int, int]] = None
    seed: int = 0


@dataclass
class Inputs:
    arrays: Dict[str, Array] = field(default_factory=dict)
    sources: Dict[str, str] = field(default_factory=dict)  # where each array came from, in words


def suppliable(name: str, array: Array, element_type: str, source: str) -> Array:
    """The array as qelmo takes it, or an error naming the input, where its
    array came from and what to do. Byte order and dtype metadata are
    normalised; float16 data for a float16 input is widened to float32
    (exactly), which qelmo narrows again."""
    kind = array.dtype
    if kind == np.float16 and element_type == "float16":
        return array.astype(np.float32)
    if kind.fields is None and kind.kind in "fiu" and kind.name in SUPPORTED_DTYPES:
        # float32 arrays feed float16 inputs; qelmo converts them.
        wanted = "float32" if element_type == "float16" else element_type
        if wanted in SUPPORTED_DTYPES and kind.name != wanted:
            # numpy's defaults (float64, int64) meet float32 models most often.
            raise InputError(
                f"input '{name}': the array from {source} is {kind.name}, but the model takes {element_type}; "
                f"convert it with array.astype(numpy.{wanted}) (and save it again)"
            )
        if not kind.isnative or kind.metadata is not None:
            return array.astype(kind.name)
        return array
    raise InputError(f"input '{name}': numpy dtype {kind} is not supported; supported: {SUPPORTED_LIST}")


def made_up_array(
    name: str,
    shape: Tuple[int, ...],
    element_type: str,
    rng: np.random.Generator,
    int_range: Optional[Tuple[int, int]],
) -> Tuple[Array, str]:
    """Floats from a normal distribution; integers zero unless a range is
    asked for, since zero is a valid index and count for any model."""
    if element_type in ("float32", "float64", "float16"):
        # float32 arrays feed float16 inputs; qelmo converts them.
        dtype = np.float64 if element_type == "float64" else np.float32
        return rng.standard_normal(shape).astype(dtype), "random normal"
    if element_type not in SUPPORTED_DTYPES:
        raise InputError(
            f"input '{name}' takes {element_type} tensors, which qelmo cannot supply; supported: {SUPPORTED_LIST}, "
            "and float32 arrays for float16 inputs"
        )
    if int_range is None:
        return np.zeros(shape, dtype=element_type), "zeros"
    low, high = int_range
    limits = np.iinfo(element_type)
    if low < int(limits.min) or high - 1 > int(limits.max):
        raise InputError(
            f"--int-range {low}:{high} does not fit input '{name}' ({element_type} holds {limits.min} to {limits.max})"
        )
    return rng.integers(low, high, size=shape, dtype=np.dtype(element_type)), f"random integers in [{low}, {high})"


def given_arrays(options: InputOptions, model: qelmo.QelmoModel) -> Dict[str, Tuple[Array, str]]:
    """Arrays from --inputs DIR, then from each --input NAME=FILE, which
    takes the place of the folder's array for that input."""
    names = model.get_input_names()
    given: Dict[str, Tuple[Array, str]] = {}
    if options.folder is not None:
        found = scan_data_folder(options.folder, names, model.get_output_names())
        for name, ref in found.inputs.items():
            given[name] = (_read_input(name, ref[0], ref[1] or name), describe_ref(ref))
    named: List[str] = []
    for option in options.files:
        name, path = split_named_option("--input", option, names, "NAME=FILE")
        if name in named:
            raise InputError(f"input '{name}' is given twice")
        named.append(name)
        given[name] = (_read_input(name, path, name), path)
    return given


def _read_input(name: str, path: str, key: str) -> Array:
    try:
        return read_array(path, key)
    except InputError as error:
        raise InputError(f"input '{name}': {error}") from None


def build_inputs(options: InputOptions, model: qelmo.QelmoModel) -> Inputs:
    names = model.get_input_names()
    declared = {name: (shape, element_type) for name, shape, element_type in model.get_input_details()}
    given = given_arrays(options, model)
    shapes = parse_shape_options(options.shapes, names)
    rng = np.random.default_rng(options.seed)
    inputs = Inputs()
    for name in names:
        if name not in declared:
            raise InputError(f"input '{name}' is a sequence or map, which qelmo cannot supply")
        shape, element_type = declared[name]
        if name in given:
            array, source = given[name]
            if name in shapes and list(array.shape) != shapes[name]:
                raise InputError(f"--shape for input '{name}': its array from {source} has shape {list(array.shape)}")
            array = suppliable(name, array, element_type, source)
        else:
            array, source = made_up_array(name, concrete_shape(name, shape, shapes.get(name)), element_type, rng, options.int_range)
            source += "" if source == "zeros" else f", seed {options.seed}"
        inputs.arrays[name], inputs.sources[name] = array, source
    return inputs
