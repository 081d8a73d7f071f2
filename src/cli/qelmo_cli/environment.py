"""Versions and machine facts, for --version and JSON reports. Versions
come from the installed packages' metadata, so nothing is imported."""

import os
import platform
from importlib import metadata
from typing import Any, Dict

PACKAGES = ("qelmo", "onnxruntime", "numpy")


def package_version(name: str) -> str:
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "not installed"


def version_text() -> str:
    qelmo_version, *others = (package_version(name) for name in PACKAGES)
    listed = ", ".join(f"{name} {version}" for name, version in zip(PACKAGES[1:], others))
    return f"qelmo {qelmo_version} ({listed}, Python {platform.python_version()})"


def environment() -> Dict[str, Any]:
    facts: Dict[str, Any] = {name: package_version(name) for name in PACKAGES}
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
