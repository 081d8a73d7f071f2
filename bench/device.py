"""qelmo against onnxruntime's own Python API on one device, each side alone in
its own process: the GPU comparison (the CUDA provider on both sides) and the
CPU one on the machine at hand.

    python bench/device.py --device gpu      # or cpu; --quick for a smoke run

Each case is timed in a child process per side: a session made once, inputs
staged and outputs taken as a user does on every call, the median of each of
a few blocks of calls, the best block kept. The parent checks that both sides
gave the same outputs (within the GPU's rounding) and prints the medians and
the ratio qelmo/peer (below 1: qelmo is faster)."""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = ("tiny", "mlp-b64", "conv", "big-io", "light_resnet50", "light_densenet121", "light_inception_v2")


def case_model(case, folder):
    """The model's path and its inputs, as arrays."""
    sys.path.insert(0, HERE)
    import models
    from onnx import numpy_helper  # noqa: F401 - the light models come with onnx

    rng = np.random.default_rng(0)
    if case == "tiny":
        return models.tiny(folder), {"x": rng.standard_normal((1, 8), np.float32), "y": rng.standard_normal((1, 8), np.float32)}
    if case == "mlp-b64":
        return models.mlp(folder), {"x": rng.standard_normal((64, 512), np.float32)}
    if case == "conv":
        return models.conv(folder), {"x": rng.standard_normal((1, 3, 128, 128), np.float32)}
    if case == "big-io":
        return models.identity(folder), {"x": rng.standard_normal((16 << 20,), np.float32)}
    import onnx

    path = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light", case + ".onnx")
    model = onnx.load(path, load_external_data=False)
    initializers = {init.name for init in model.graph.initializer}
    inputs = {}
    for value in model.graph.input:
        if value.name in initializers:
            continue
        shape = [dim.dim_value or 1 for dim in value.type.tensor_type.shape.dim]
        inputs[value.name] = rng.standard_normal(shape).astype(np.float32)
    return path, inputs


def qelmo_side(path, inputs, device):
    import qelmo
    from qelmo_cli.devices import session_device

    session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.GPU if device == "gpu" else qelmo.CPU)
    used = session_device(device)

    def call():
        for name, array in inputs.items():
            session.set_input(name, qelmo.QelmoValue(array))
        return {name: value.to_numpy() for name, value in session.evaluate().items()}

    return call, {"used": used.used, "reason": used.reason}


def peer_side(path, inputs, device):
    import onnxruntime

    providers = ["CUDAExecutionProvider", "CPUExecutionProvider"] if device == "gpu" else ["CPUExecutionProvider"]
    session = onnxruntime.InferenceSession(path, providers=providers)
    names = [output.name for output in session.get_outputs()]
    used = "gpu" if "CUDAExecutionProvider" in session.get_providers() else "cpu"

    def call():
        return dict(zip(names, session.run(None, inputs)))

    return call, {"used": used, "reason": ""}


def time_blocks(call, seconds, blocks=3):
    """The best of `blocks` block medians of the per-call time, in seconds."""
    call()
    start = time.perf_counter()
    warm = 0
    while time.perf_counter() - start < min(0.5, seconds) or warm < 3:
        call()
        warm += 1
    per_call = (time.perf_counter() - start) / warm
    calls = max(5, int(seconds / blocks / max(per_call, 1e-7)))
    medians = []
    for _ in range(blocks):
        times = []
        for _ in range(calls):
            began = time.perf_counter()
            call()
            times.append(time.perf_counter() - began)
        medians.append(float(np.median(times)))
    return min(medians), calls * blocks


def child(side, case, device, seconds, outputs_path):
    with tempfile.TemporaryDirectory() as folder:
        path, inputs = case_model(case, folder)
        call, placement = (qelmo_side if side == "qelmo" else peer_side)(path, inputs, device)
        outputs = call()
        np.savez(outputs_path, **outputs)
        median, calls = time_blocks(call, seconds)
    print(json.dumps({"median": median, "calls": calls, **placement}))


def run_child(side, case, device, seconds, folder):
    outputs = os.path.join(folder, f"{side}.npz")
    env = dict(os.environ, ORT_DISABLE_TELEMETRY="1", PYTHONHASHSEED="0")
    done = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", side, case, "--device", device, "--seconds", str(seconds),
         "--outputs", outputs],
        env=env, capture_output=True, text=True, timeout=600,
    )
    if done.returncode != 0:
        raise RuntimeError(f"{side} {case}: {done.stderr.strip()[-2000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1]), outputs


def largest_difference(ours, theirs):
    with np.load(ours) as a, np.load(theirs) as b:
        if sorted(a.files) != sorted(b.files):
            return float("inf")
        worst = 0.0
        for name in a.files:
            x, y = a[name].astype(np.float64), b[name].astype(np.float64)
            scale = max(1.0, float(np.abs(y).max())) if y.size else 1.0
            worst = max(worst, float(np.abs(x - y).max()) / scale if y.size else 0.0)
        return worst


def unit(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e3:.2f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", choices=["cpu", "gpu"], default="gpu")
    parser.add_argument("--cases", nargs="*", choices=CASES, default=list(CASES))
    parser.add_argument("--seconds", type=float, default=3.0, help="timed seconds per side and case")
    parser.add_argument("--quick", action="store_true", help="a second per side and case")
    parser.add_argument("--json", help="write the rows to this file")
    parser.add_argument("--child", nargs=2, metavar=("SIDE", "CASE"), help=argparse.SUPPRESS)
    parser.add_argument("--outputs", help=argparse.SUPPRESS)
    options = parser.parse_args()
    seconds = 1.0 if options.quick else options.seconds
    if options.child:
        child(options.child[0], options.child[1], options.device, seconds, options.outputs)
        return

    rows = []
    print(f"{'case':<20} {'qelmo':>10} {'peer':>10} {'ratio':>6}  {'max diff':>8}  device (qelmo / peer)")
    for case in options.cases:
        with tempfile.TemporaryDirectory() as folder:
            ours, ours_out = run_child("qelmo", case, options.device, seconds, folder)
            theirs, theirs_out = run_child("peer", case, options.device, seconds, folder)
            difference = largest_difference(ours_out, theirs_out) if os.path.exists(ours_out) and os.path.exists(theirs_out) else float("nan")
        ratio = ours["median"] / theirs["median"]
        rows.append({"case": case, "qelmo": ours, "peer": theirs, "ratio": ratio, "max_relative_difference": difference})
        print(f"{case:<20} {unit(ours['median']):>10} {unit(theirs['median']):>10} {ratio:6.2f}  {difference:8.1e}  "
              f"{ours['used']} / {theirs['used']}" + (f"  ({ours['reason']})" if ours["reason"] and ours["used"] != options.device else ""))
    if options.json:
        with open(options.json, "w") as out:
            json.dump({"device": options.device, "cpu_count": os.cpu_count(), "rows": rows}, out, indent=2)


if __name__ == "__main__":
    main()
