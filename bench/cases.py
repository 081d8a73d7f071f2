"""The benchmark cases. Each returns rows of (case, side, threading, Timing)
plus, for the big-tensor sweep, the points of its plot."""

import gc
import os
from dataclasses import dataclass
from typing import Optional

import numpy as np
import onnx
import onnxruntime as ort

import qelmo

import models
from sides import check_same_outputs, peer_call, qelmo_call
from timing import Timing, interleaved

CORES = os.cpu_count() or 1
QELMO_THREADING = f"one pool for all sessions, {CORES} threads, spin"
PEER_THREADING = f"own pool, {CORES} threads, spin"
PEER_ONE_THREAD = "1 intra-op thread"


@dataclass
class Row:
    case: str
    side: str
    threading: str
    timing: Timing
    baseline: Optional[str] = None  # side whose median this row is divided by


def _float_inputs(shapes, seed=0):
    rng = np.random.default_rng(seed)
    return {name: rng.standard_normal(shape).astype(np.float32) for name, shape in shapes.items()}


def _compare(case, path, inputs, rounds, one_thread=False):
    ours = qelmo_call(path, inputs)
    theirs = peer_call(path, inputs)
    check_same_outputs(case, ours, theirs)
    sides = {"qelmo": ours, "peer": theirs}
    if one_thread:
        single = peer_call(path, inputs, threads=1)
        sides["peer-1"] = single
    timings = interleaved(sides, rounds)
    rows = [
        Row(case, "qelmo", QELMO_THREADING, timings["qelmo"], "peer"),
        Row(case, "peer", PEER_THREADING, timings["peer"]),
    ]
    if one_thread:
        rows.append(Row(case, "peer-1", PEER_ONE_THREAD, timings["peer-1"]))
        rows.append(Row(case, "qelmo vs peer-1", QELMO_THREADING, timings["qelmo"], "peer-1"))
    return rows, timings


def call_overhead(folder, rounds):
    rows, _ = _compare("tiny", models.tiny(folder), _float_inputs({"x": (1, 8), "y": (1, 8)}), rounds)
    many = _float_inputs({f"in{i}": (1, 16) for i in range(16)})
    more, _ = _compare("many inputs", models.many_inputs(folder), many, rounds)
    return rows + more


def compute(folder, rounds):
    rows = []
    mlp = models.mlp(folder)
    for batch in (1, 64):
        more, _ = _compare(f"mlp batch {batch}", mlp, _float_inputs({"x": (batch, 512)}), rounds, one_thread=True)
        rows += more
    more, _ = _compare("conv", models.conv(folder), _float_inputs({"x": (1, 3, 128, 128)}), rounds, one_thread=True)
    return rows + more


BIG_SIZES = [1 << k for k in range(10, 29, 2)]  # 1 KiB to 256 MiB, by 4


def size_label(size):
    for unit, scale in (("MB", 1 << 20), ("KB", 1 << 10)):
        if size >= scale:
            return f"{size // scale} {unit}"
    return f"{size} B"


def big_tensors(folder, rounds, sizes=BIG_SIZES):
    """Identity on growing float32 tensors, with a plain numpy copy of the same
    bytes (into a new array, and into an existing one) as the floor."""
    path = models.identity(folder)
    rows, points = [], []
    for size in sizes:
        array = np.random.default_rng(0).standard_normal(size // 4).astype(np.float32)
        target = np.empty_like(array)
        ours, theirs = qelmo_call(path, {"x": array}), peer_call(path, {"x": array})
        check_same_outputs(f"identity {size_label(size)}", ours, theirs)
        sides = {
            "qelmo": ours,
            "peer": theirs,
            "numpy copy": array.copy,
            "numpy copyto": lambda: np.copyto(target, array),
        }
        timings = interleaved(sides, rounds if size < (64 << 20) else max(5, rounds // 3))
        case = f"identity {size_label(size)}"
        rows += [
            Row(case, "qelmo", QELMO_THREADING, timings["qelmo"], "peer"),
            Row(case, "peer", PEER_THREADING, timings["peer"]),
            Row(case, "numpy copy", "-", timings["numpy copy"]),
            Row(case, "numpy copyto", "-", timings["numpy copyto"]),
        ]
        points.append((size, {name: t.median for name, t in timings.items()}))
        del ours, theirs, sides, array, target
        gc.collect()
    return rows, points


def inspection(folder, rounds):
    """Opening a model with 200 MB of weights and listing its inputs."""
    path = models.heavy_weights(folder)

    def ours():
        return qelmo.QelmoModel(path).get_input_details()

    def theirs():
        return [i.name for i in ort.InferenceSession(path, providers=["CPUExecutionProvider"]).get_inputs()]

    def onnx_load():
        return [i.name for i in onnx.load(path).graph.input]

    if [name for name, _, _ in ours()] != theirs():
        raise AssertionError("inspection: qelmo and the peer list different inputs")
    timings = interleaved({"qelmo": ours, "peer": theirs, "onnx.load": onnx_load}, rounds, warm_up_seconds=0)
    return [
        Row("inspection 200 MB", "qelmo", "-", timings["qelmo"], "peer"),
        Row("inspection 200 MB", "peer", PEER_THREADING, timings["peer"]),
        Row("inspection 200 MB", "onnx.load", "-", timings["onnx.load"]),
        Row("inspection 200 MB", "qelmo vs onnx.load", "-", timings["qelmo"], "onnx.load"),
    ]


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def memory(folder, evaluations=100_000, warm_up=10_000):
    """Resident memory over many tiny evaluations: (after warm-up, at the end) in KiB."""
    call = qelmo_call(models.tiny(folder), _float_inputs({"x": (1, 8), "y": (1, 8)}))
    for _ in range(warm_up):
        call()
    gc.collect()
    before = resident_kib()
    for _ in range(evaluations - warm_up):
        call()
    gc.collect()
    return before, resident_kib()
