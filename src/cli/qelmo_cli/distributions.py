"""Which of qelmo's two distributions is installed. qelmo requires
onnxruntime, for the CPU; qelmo-gpu is the same files requiring
onnxruntime-gpu, ONNX Runtime's CUDA build. Users install one of them. With
both installed, each pair (qelmo and qelmo-gpu, onnxruntime and
onnxruntime-gpu) shares its files, so uninstalling either one of a pair
deletes files the other needs: everything goes, then one comes back."""

from importlib import metadata
from typing import Dict, Optional

CPU_DISTRIBUTION = "qelmo"
GPU_DISTRIBUTION = "qelmo-gpu"
ONNXRUNTIME_BUILDS = ("onnxruntime", "onnxruntime-gpu")


def installed_versions(*names: str) -> Dict[str, str]:
    """The installed ones of `names`, with their versions."""
    found: Dict[str, str] = {}
    for name in names:
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            pass
    return found


def qelmo_distribution() -> str:
    """"qelmo" or "qelmo-gpu", as installed ("qelmo" when neither is, as in
    a source tree)."""
    return GPU_DISTRIBUTION if set(installed_versions(CPU_DISTRIBUTION, GPU_DISTRIBUTION)) == {GPU_DISTRIBUTION} else CPU_DISTRIBUTION


def both_installed_warning() -> Optional[str]:
    """What to uninstall, when both qelmo and qelmo-gpu are installed."""
    qelmos = installed_versions(CPU_DISTRIBUTION, GPU_DISTRIBUTION)
    if len(qelmos) < 2:
        return None
    builds = list(installed_versions(*ONNXRUNTIME_BUILDS))
    packages = [CPU_DISTRIBUTION, GPU_DISTRIBUTION] + builds
    with_builds = f", and with them {' and '.join(builds)}" if builds else ""
    return (
        f"warning: both {CPU_DISTRIBUTION} {qelmos[CPU_DISTRIBUTION]} and {GPU_DISTRIBUTION} "
        f"{qelmos[GPU_DISTRIBUTION]} are installed{with_builds}, which share their files: uninstalling one of them "
        f"deletes files the other needs. Uninstall them all, then install the one you want again "
        f"({GPU_DISTRIBUTION} for GPU sessions, {CPU_DISTRIBUTION} for the CPU only):\n"
        f"  pip uninstall -y {' '.join(packages)}"
    )
