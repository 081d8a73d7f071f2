"""Saving outputs as NAME.npy files, and the folder that receives them."""

import os
import re
import tempfile
from typing import Dict, List, Set, Tuple

import numpy as np

from qelmo_cli.errors import InputError
from qelmo_cli.tensor_files import Array


def safe_stem(name: str) -> str:
    """A plain file name for a feature: model names may hold path separators
    or '..', which must never place a file outside the folder."""
    stem = re.sub(r"[^A-Za-z0-9._-]", "_", name) or "_"
    return "_" + stem if stem.startswith(".") else stem


def file_name_for(output_name: str, taken: Set[str]) -> str:
    stem = safe_stem(output_name)
    candidate, number = stem, 2
    while candidate in taken:
        candidate, number = f"{stem}-{number}", number + 1
    taken.add(candidate)
    return candidate + ".npy"


def prepare_output_dir(folder: str, option: str = "--output-dir") -> None:
    """Makes the folder and proves it can be written, before anything is
    evaluated, so that a long run never ends in a failed save."""
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise InputError(f"{option} {folder}: a file of that name exists")
    try:
        os.makedirs(folder, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        raise InputError(f"{option} {folder}: cannot write there: {error.strerror or error}") from None


def save_outputs(folder: str, outputs: Dict[str, Array]) -> List[Tuple[str, str]]:
    taken: Set[str] = set()
    saved = []
    for name, array in outputs.items():
        target = os.path.join(folder, file_name_for(name, taken))
        np.save(target, array, allow_pickle=False)
        saved.append((name, target))
    return saved
