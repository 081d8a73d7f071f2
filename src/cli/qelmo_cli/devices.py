"""Which device a session really runs on, as the runtime recorded it.

qelmo.GPU asks the runtime for ONNX Runtime's CUDA execution provider; the
runtime runs the session on the CPU when the ONNX Runtime it loaded offers
no CUDA provider, when the provider cannot start here (no driver, no GPU,
its CUDA libraries missing), or when it refuses the model, and records why.
The tool reports that record."""

from dataclasses import dataclass, field
from typing import Any, Dict, List

import qelmo

from qelmo_cli.gpu_package import GPU_PACKAGE, changed_gpu_libraries
from qelmo_cli.runtime_report import runtime_report

DEVICE_TYPES = {"cpu": qelmo.CPU, "gpu": qelmo.GPU}

CUDA_STARTED = "the CUDA provider started"
NO_REPORT = "the runtime did not say where the session runs"


@dataclass
class DeviceChoice:
    requested: str
    used: str
    reason: str
    # The onnxruntime-gpu libraries that another install overwrote or deleted.
    overwritten: List[str] = field(default_factory=list)

    def describe(self) -> str:
        """A phrase for the report, e.g. "gpu requested; ... ; ran on cpu"."""
        if self.requested == self.used == "cpu":
            return "cpu"
        text = f"{self.requested} requested; {self.reason}; ran on {self.used}"
        if self.overwritten:
            text += (
                f"\n  warning: files of the {GPU_PACKAGE} package were overwritten or deleted by another install: "
                + ", ".join(self.overwritten)
                + f"\n  reinstall it: pip install --force-reinstall --no-deps {GPU_PACKAGE}"
            )
        return text

    def as_json(self) -> Dict[str, Any]:
        report: Dict[str, Any] = {"requested": self.requested, "used": self.used, "reason": self.reason}
        if self.overwritten:
            report["overwritten_gpu_package_files"] = self.overwritten
        return report


def session_device(requested: str) -> DeviceChoice:
    """Where the session made last in this process runs. Call it right after
    making the session."""
    if requested == "cpu":
        return DeviceChoice("cpu", "cpu", "cpu requested")
    last = runtime_report().get("last_session")
    if not last:
        return DeviceChoice(requested, "cpu", NO_REPORT)
    used = last.get("used", "cpu")
    reason = last.get("reason") or (CUDA_STARTED if used == "gpu" else NO_REPORT)
    overwritten = changed_gpu_libraries() if used != "gpu" else []
    return DeviceChoice(requested, used, reason, overwritten)
