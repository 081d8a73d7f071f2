"""Versions and machine facts, for --version and JSON reports. The packages'
versions come from their metadata; ONNX Runtime's is the library that the
runtime loaded, which may belong to onnxruntime or to onnxruntime-gpu."""

import os
import platform
from importlib import metadata
from typing import Any, Dict

from qelmo_cli.runtime_report import loaded_onnxruntime

PACKAGES = ("qelmo", "numpy", "onnxruntime", "onnxruntime-gpu")


def package_version(name: str) -> str:
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "not installed"


def onnxruntime_text(loaded: Dict[str, Any]) -> str:
    if not loaded.get("loaded"):
        return "onnxruntime not loaded: " + str(loaded.get("error", "unknown reason"))
    return f"onnxruntime {loaded['version']} from {loaded['library']}"


def version_text() -> str:
    return (
        f"qelmo {package_version('qelmo')} ({onnxruntime_text(loaded_onnxruntime())}, "
        f"numpy {package_version('numpy')}, Python {platform.python_version()})"
    )


def environment() -> Dict[str, Any]:
    loaded = loaded_onnxruntime()
    facts: Dict[str, Any] = {
        "qelmo": package_version("qelmo"),
        "numpy": package_version("numpy"),
        "onnxruntime": loaded.get("version", "not loaded"),
        "onnxruntime_library": loaded.get("library"),
        "onnxruntime_api_version": loaded.get("api_version"),
        "packages": {name: package_version(name) for name in PACKAGES},
    }
    if not loaded.get("loaded"):
        facts["onnxruntime_error"] = loaded.get("error")
    facts.update(
        {
            "python": platform.python_version(),
            "python_implementation": platform.python_implementation(),
            "platform": platform.platform(),
            "machine": platform.machine(),
            "cpu_count": os.cpu_count(),
        }
    )
    if hasattr(os, "sched_getaffinity"):
        # The CPUs this process may run on, fewer than cpu_count in a container.
        facts["usable_cpu_count"] = len(os.sched_getaffinity(0))
    return facts
