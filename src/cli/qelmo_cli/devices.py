"""Which device a session really runs on.

qelmo.GPU asks the runtime for ONNX Runtime's CUDA execution provider; the
runtime runs the session on the CPU when the ONNX Runtime it loaded offers
no CUDA provider, or when a session cannot be made with it (no device, a
driver mismatch). The runtime loads the shared library of the installed
onnxruntime package, so asking that package the same question gives the
same answer."""

from dataclasses import dataclass
from typing import Any, Dict

import qelmo

DEVICE_TYPES = {"cpu": qelmo.CPU, "gpu": qelmo.GPU}
CUDA = "CUDAExecutionProvider"

NO_CUDA_PROVIDER = "ONNX Runtime here has no CUDA provider"
CUDA_DID_NOT_START = "the CUDA provider could not start"


@dataclass
class DeviceChoice:
    requested: str
    used: str
    reason: str

    def describe(self) -> str:
        """A phrase for the report, e.g. "gpu requested; ... ; ran on cpu"."""
        if self.requested == self.used == "cpu":
            return "cpu"
        return f"{self.requested} requested; {self.reason}; ran on {self.used}"

    def as_json(self) -> Dict[str, Any]:
        return {"requested": self.requested, "used": self.used, "reason": self.reason}


def resolve_device(requested: str, model_path: str) -> DeviceChoice:
    if requested == "cpu":
        return DeviceChoice("cpu", "cpu", "cpu requested")
    import onnxruntime  # type: ignore[import-untyped]

    if CUDA not in onnxruntime.get_available_providers():
        return DeviceChoice(requested, "cpu", NO_CUDA_PROVIDER)
    # A provider can be listed and still fail to start; ONNX Runtime then
    # makes the session with the providers that did.
    try:
        session = onnxruntime.InferenceSession(model_path, providers=[CUDA, "CPUExecutionProvider"])
        started = CUDA in session.get_providers()
    except Exception as error:  # noqa: BLE001 - any failure here means no CUDA session
        first_line = str(error).strip().splitlines()[0] if str(error).strip() else ""
        return DeviceChoice(requested, "cpu", f"{CUDA_DID_NOT_START} ({type(error).__name__}: {first_line})")
    if not started:
        return DeviceChoice(requested, "cpu", CUDA_DID_NOT_START)
    return DeviceChoice(requested, "gpu", "the CUDA provider started")
