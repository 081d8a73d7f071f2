"""The onnxruntime-gpu package's libraries, checked against its own record.
onnxruntime and onnxruntime-gpu install into the one onnxruntime/ folder, so
whichever package is installed last overwrites the files they share (for
example after `pip install -U qelmo` pulls in onnxruntime)."""

import base64
import csv
import hashlib
import os
from importlib import metadata
from typing import List

GPU_PACKAGE = "onnxruntime-gpu"
# Larger files (the CUDA provider) are compared by size alone.
HASHED_UP_TO = 64 << 20


def _digest(path: str, algorithm: str) -> str:
    digest = hashlib.new(algorithm)
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return base64.urlsafe_b64encode(digest.digest()).rstrip(b"=").decode("ascii")


def changed_gpu_libraries() -> List[str]:
    """The onnxruntime-gpu package's shared libraries that are missing or no
    longer what it installed; empty when it is not installed."""
    try:
        distribution = metadata.distribution(GPU_PACKAGE)
    except metadata.PackageNotFoundError:
        return []
    # The RECORD itself, not Distribution.files: some importlib_metadata
    # releases leave missing files out of that list.
    changed = []
    for row in csv.reader((distribution.read_text("RECORD") or "").splitlines()):
        if len(row) < 3 or ".so" not in os.path.basename(row[0]) or "=" not in row[1]:
            continue
        algorithm, expected = row[1].split("=", 1)
        path = str(distribution.locate_file(row[0]))
        try:
            size = os.path.getsize(path)
        except OSError:
            changed.append(path)
            continue
        if row[2].isdigit() and size != int(row[2]):
            changed.append(path)
        elif size <= HASHED_UP_TO and _digest(path, algorithm) != expected:
            changed.append(path)
    return changed
