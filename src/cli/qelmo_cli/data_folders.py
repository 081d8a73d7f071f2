"""Folders of arrays for a model's inputs and its expected outputs.

Three layouts are read, checked in this order:
- ONNX test data: input_K.pb and output_K.pb, K = 0, 1, ... in the order of
  the model's inputs and outputs;
- an inputs.npz and an outputs.npz whose arrays are named after the model's
  inputs and outputs;
- NAME.npy files, one per input or output, named after it (or after the
  plain file name that `qelmo run --output-dir` gives it).
"""

import os
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

from qelmo_cli.errors import InputError
from qelmo_cli.output_files import safe_stem
from qelmo_cli.tensor_files import npz_members

# Where one array is: a file, and the array's name inside an .npz archive.
FileRef = Tuple[str, Optional[str]]

_NUMBERED = re.compile(r"^(input|output)_(\d+)\.pb$")


@dataclass
class DataFolder:
    folder: str
    inputs: Dict[str, FileRef] = field(default_factory=dict)
    outputs: Dict[str, FileRef] = field(default_factory=dict)


def describe_ref(ref: FileRef) -> str:
    path, key = ref
    return path if key is None else f"{path}[{key}]"


def scan_data_folder(folder: str, input_names: Sequence[str], output_names: Sequence[str]) -> DataFolder:
    if not os.path.exists(folder):
        raise InputError(f"{folder} does not exist")
    if not os.path.isdir(folder):
        raise InputError(f"{folder} is not a folder")
    files = sorted(os.listdir(folder))
    if any(_NUMBERED.match(name) for name in files):
        return _numbered_layout(folder, files, input_names, output_names)
    if "inputs.npz" in files or "outputs.npz" in files:
        return _archive_layout(folder, files, input_names, output_names)
    if any(name.endswith(".npy") for name in files):
        return _named_layout(folder, files, input_names, output_names)
    raise InputError(f"{folder} holds no input_K.pb files, no inputs.npz and no NAME.npy files")


def _numbered_layout(folder: str, files: List[str], input_names: Sequence[str], output_names: Sequence[str]) -> DataFolder:
    numbered: Dict[str, Dict[int, str]] = {"input": {}, "output": {}}
    for name in files:
        match = _NUMBERED.match(name)
        if match:
            numbered[match.group(1)][int(match.group(2))] = os.path.join(folder, name)
    found = DataFolder(folder)
    for kind, names, target in (("input", input_names, found.inputs), ("output", output_names, found.outputs)):
        paths = numbered[kind]
        for index in range(len(paths)):
            if index not in paths:
                raise InputError(f"{folder} has {len(paths)} {kind}_K.pb files but no {kind}_{index}.pb")
        if len(paths) > len(names):
            raise InputError(f"{folder} has {len(paths)} {kind}_K.pb files but the model has {len(names)} {kind}s")
        for index, path in sorted(paths.items()):
            target[names[index]] = (path, None)
    return found


def _archive_layout(folder: str, files: List[str], input_names: Sequence[str], output_names: Sequence[str]) -> DataFolder:
    found = DataFolder(folder)
    for archive, names, target in (("inputs.npz", input_names, found.inputs), ("outputs.npz", output_names, found.outputs)):
        if archive not in files:
            continue
        path = os.path.join(folder, archive)
        for key in npz_members(path):
            if key not in names:
                kind = archive[: -len("s.npz")]
                raise InputError(f"{path}: array '{key}' is named after no {kind} of the model ({', '.join(names)})")
            target[key] = (path, key)
    return found


def _named_layout(folder: str, files: List[str], input_names: Sequence[str], output_names: Sequence[str]) -> DataFolder:
    found = DataFolder(folder)
    for file_name in files:
        if not file_name.endswith(".npy"):
            continue
        stem, path = file_name[: -len(".npy")], os.path.join(folder, file_name)
        as_input = _named_after(stem, input_names)
        as_output = _named_after(stem, output_names)
        if as_input is None and as_output is None:
            raise InputError(
                f"{path} is named after none of the model's inputs ({', '.join(input_names) or 'none'}) "
                f"or outputs ({', '.join(output_names) or 'none'})"
            )
        # A graph may pass an input straight through as an output: one file serves both.
        if as_input is not None:
            found.inputs[as_input] = (path, None)
        if as_output is not None:
            found.outputs[as_output] = (path, None)
    return found


def _named_after(stem: str, names: Sequence[str]) -> Optional[str]:
    if stem in names:
        return stem
    matches = [name for name in names if safe_stem(name) == stem]
    return matches[0] if len(matches) == 1 else None
