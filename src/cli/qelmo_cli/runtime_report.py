"""What qelmo's runtime loaded and where its sessions run, asked of the
runtime library itself (its QelmoRuntimeReport export, through ctypes), so
that the tool never works it out a second way that could disagree."""

import ctypes
import json
import os
from typing import Any, Dict, Optional

import qelmo

RUNTIME_FILE = "Windows.AI.MachineLearning.so"


def runtime_library_path() -> Optional[str]:
    """The runtime library this process loaded (qelmo loads it with the first
    model), else the one installed beside the module."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            for line in maps:
                fields = line.split(None, 5)
                if len(fields) == 6 and fields[5].rstrip("\n").endswith("/" + RUNTIME_FILE):
                    return fields[5].rstrip("\n")
    except OSError:
        pass
    beside = os.path.join(os.path.dirname(qelmo.__file__), "qelmo.libs", RUNTIME_FILE)
    return beside if os.path.exists(beside) else None


def runtime_report(load_onnxruntime: bool = False) -> Dict[str, Any]:
    """The runtime's report: {"onnxruntime": {...}, "gpu": {...},
    "last_session": {...} or None}; {} when the runtime gives none. With
    load_onnxruntime, ONNX Runtime is loaded first (never the GPU)."""
    path = runtime_library_path()
    if path is None:
        return {}
    try:
        report = ctypes.CDLL(path).QelmoRuntimeReport
    except (OSError, AttributeError):
        return {}
    report.restype = ctypes.c_char_p
    report.argtypes = [ctypes.c_int]
    text = report(1 if load_onnxruntime else 0)
    parsed: Dict[str, Any] = json.loads(text.decode("utf-8")) if text else {}
    return parsed


def loaded_onnxruntime() -> Dict[str, Any]:
    """ONNX Runtime as the runtime loaded it: {"loaded": True, "library",
    "version", "api_version", "intra_op_threads", "gpu_package"} or
    {"loaded": False, "error"}."""
    # The runtime is loaded with the first model; the sample model is at hand.
    from qelmo_cli.sample import SAMPLE_MODEL_PATH

    try:
        qelmo.QelmoModel(SAMPLE_MODEL_PATH)
    except RuntimeError as error:
        notes = getattr(error, "__notes__", [])
        return {"loaded": False, "error": notes[0] if notes else str(error)}
    loaded: Dict[str, Any] = runtime_report(load_onnxruntime=True).get("onnxruntime", {"loaded": False, "error": "no report"})
    return loaded
