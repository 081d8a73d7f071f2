"""The onnxruntime-gpu package's libraries, checked against its own record.
onnxruntime and onnxruntime-gpu install into the one onnxruntime/ folder, so
whichever package is installed last overwrites the files they share (for
example after `pip install -U qelmo` pulls in onnxruntime)."""

import base64
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
        files = metadata.distribution(GPU_PACKAGE).files or []
    except metadata.PackageNotFoundError:
        return []
    changed = []
    for file in files:
        if ".so" not in file.name or file.hash is None:
            continue
        path = str(file.locate())
        try:
            size = os.path.getsize(path)
        except OSError:
            changed.append(path)
            continue
        if file.size is not None and size != file.size:
            changed.append(path)
        elif size <= HASHED_UP_TO and _digest(path, file.hash.mode) != file.hash.value:
            changed.append(path)
    return changed
