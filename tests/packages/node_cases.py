"""The ONNX backend's test cases (the onnx package's own test data: the node
cases where that release ships them, and the simple and PyTorch ones) on
one device, through qelmo and through onnxruntime's Python API: a case is
eligible when the peer passes it and qelmo can take its inputs; qelmo must
pass every eligible case. Used by scripts/gpu_check.sh.

    python tests/packages/node_cases.py --device gpu"""

import argparse
import glob
import os
import sys

import numpy as np
import onnx
from onnx import numpy_helper

SUPPLIABLE = {np.dtype(name) for name in ("float32", "float64", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64")}


def data_set(folder):
    """Inputs and expected outputs of a case's first data set, or None."""
    sets = sorted(glob.glob(os.path.join(folder, "test_data_set_*")))
    if not sets:
        return None
    read = lambda pattern: [numpy_helper.to_array(onnx.load_tensor(path)) for path in sorted(glob.glob(os.path.join(sets[0], pattern)))]
    try:
        return read("input_*.pb"), read("output_*.pb")
    except Exception:  # noqa: BLE001 - sequences, optionals, ...: not a tensor case
        return None


def matches(outputs, expected):
    if len(outputs) != len(expected):
        return False
    for got, want in zip(outputs, expected):
        if got is None or np.shape(got) != want.shape:
            return False
        if want.dtype.kind in "fc":
            if not np.allclose(np.asarray(got, np.float64), want.astype(np.float64), rtol=1e-3, atol=1e-4, equal_nan=True):
                return False
        elif not np.array_equal(got, want):
            return False
    return True


def peer_passes(path, names, inputs, expected, providers):
    import onnxruntime

    options = onnxruntime.SessionOptions()
    options.log_severity_level = 3  # its warnings about old models are not ours to show
    try:
        session = onnxruntime.InferenceSession(path, options, providers=providers)
        return matches(session.run(None, dict(zip(names, inputs))), expected)
    except Exception:  # noqa: BLE001 - a case the peer cannot run is not eligible
        return False


def qelmo_result(path, names, inputs, expected, device):
    import qelmo

    try:
        model = qelmo.QelmoModel(path)
        session = qelmo.QelmoSession(model, device)
        for name, array in zip(names, inputs):
            session.set_input(name, qelmo.QelmoValue(array))
        outputs = session.evaluate()
        got = [outputs[name].to_numpy() if name in outputs else None for name in model.get_output_names()]
        return "pass" if matches(got, expected) else "wrong result"
    except RuntimeError as error:
        return "error: " + " ".join(getattr(error, "__notes__", [str(error)]))[:200]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--device", choices=["cpu", "gpu"], default="gpu")
    options = parser.parse_args()
    import qelmo

    providers = ["CUDAExecutionProvider", "CPUExecutionProvider"] if options.device == "gpu" else ["CPUExecutionProvider"]
    device = qelmo.GPU if options.device == "gpu" else qelmo.CPU
    root = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data")
    groups = ("node", "simple", "pytorch-converted", "pytorch-operator")
    eligible, failures = 0, []
    for folder in sorted(path for group in groups for path in glob.glob(os.path.join(root, group, "*", ""))):
        path = os.path.join(folder, "model.onnx")
        case = data_set(folder)
        if case is None or not os.path.exists(path):
            continue
        inputs, expected = case
        if any(array.dtype not in SUPPLIABLE for array in inputs):
            continue
        model = onnx.load(path, load_external_data=False)
        initializers = {init.name for init in model.graph.initializer}
        names = [value.name for value in model.graph.input if value.name not in initializers]
        if len(names) != len(inputs) or not peer_passes(path, names, inputs, expected, providers):
            continue
        eligible += 1
        verdict = qelmo_result(path, names, inputs, expected, device)
        if verdict != "pass":
            failures.append(f"{os.path.basename(os.path.dirname(folder))}: {verdict}")
    for failure in failures:
        print("  FAIL " + failure)
    print(f"backend cases on {options.device}: {eligible - len(failures)} of {eligible} eligible pass")
    print(f"{eligible - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
