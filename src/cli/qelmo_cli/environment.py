"""Versions and machine facts, for --version and JSON reports. The packages'
versions come from their metadata; ONNX Runtime's is the library that the
runtime loaded, which may belong to onnxruntime or to onnxruntime-gpu."""

import os
import platform
from importlib import metadata
from typing import Any, Dict

from qelmo_cli.distributions import both_installed_warning, qelmo_distribution
from qelmo_cli.gpu_package import changed_gpu_libraries
from qelmo_cli.runtime_report import loaded_onnxruntime

PACKAGES = ("qelmo", "qelmo-gpu", "numpy", "onnxruntime", "onnxruntime-gpu")


def package_version(name: str) -> str:
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "not installed"


def onnxruntime_text(loaded: Dict[str, Any]) -> str:
    if not loaded.get("loaded"):
        return "onnxruntime not loaded: " + str(loaded.get("error", "unknown reason"))
    # The GPU build's library is the one its package's record lists, unless
    # the CPU package's file of the same name replaced it.
    gpu_library = (loaded.get("gpu_package") or {}).get("library")
    gpu = gpu_library == loaded["library"] and not any(
        os.path.realpath(path) == os.path.realpath(gpu_library) for path in changed_gpu_libraries()
    )
    return f"{'onnxruntime-gpu' if gpu else 'onnxruntime'} {loaded['version']} from {loaded['library']}"


def version_text() -> str:
    distribution = qelmo_distribution()
    text = (
        f"{distribution} {package_version(distribution)} ({onnxruntime_text(loaded_onnxruntime())}, "
        f"numpy {package_version('numpy')}, Python {platform.python_version()})"
    )
    warning = both_installed_warning()
    return text + "\n" + warning if warning else text


def environment() -> Dict[str, Any]:
    loaded = loaded_onnxruntime()
    facts: Dict[str, Any] = {
        "qelmo": package_version(qelmo_distribution()),
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
