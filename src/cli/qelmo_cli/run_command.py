"""`qelmo run`: evaluate a model once or repeatedly and report its outputs."""

import os
import re
import time
from typing import Dict, List, Optional, Sequence, Set, TextIO

import numpy as np
import qelmo
from tqdm import tqdm  # type: ignore[import-untyped]

from qelmo_cli.inputs import Array, build_inputs

DEVICES = {"cpu": qelmo.CPU, "gpu": qelmo.GPU}
SHOWN_VALUES = 6


def summarize(array: Array) -> str:
    flat = array.reshape(-1)
    shown = [f"{value:.4g}" if np.issubdtype(flat.dtype, np.inexact) else str(value) for value in flat[:SHOWN_VALUES]]
    if flat.size > SHOWN_VALUES:
        shown.append(f"... ({flat.size} values)")
    return "[" + ", ".join(shown) + "]"


def file_name_for(output_name: str, taken: Set[str]) -> str:
    """A plain file name for an output: model output names may hold path
    separators or '..', which must never place a file outside the folder."""
    stem = re.sub(r"[^A-Za-z0-9._-]", "_", output_name) or "_"
    if stem.startswith("."):
        stem = "_" + stem
    candidate, number = stem, 2
    while candidate in taken:
        candidate, number = f"{stem}-{number}", number + 1
    taken.add(candidate)
    return candidate + ".npy"


def percentile_report(latencies_ms: Sequence[float]) -> str:
    values = np.asarray(latencies_ms)
    p50, p90, p99 = np.percentile(values, [50, 90, 99])
    return (
        f"latency over {values.size} runs (ms): min {values.min():.3f}  p50 {p50:.3f}  "
        f"p90 {p90:.3f}  p99 {p99:.3f}  max {values.max():.3f}  mean {values.mean():.3f}"
    )


def evaluate_once(session: qelmo.QelmoSession) -> Dict[str, Array]:
    return {name: value.to_numpy() for name, value in session.evaluate().items()}


def run_model(
    path: str,
    out: TextIO,
    input_options: Sequence[str] = (),
    device: str = "cpu",
    repeat: int = 0,
    output_dir: Optional[str] = None,
    seed: int = 0,
) -> None:
    model = qelmo.QelmoModel(path)
    arrays = build_inputs(input_options, model.get_input_names(), model.get_input_details(), seed)
    session = qelmo.QelmoSession(model, DEVICES[device])
    for name, array in arrays.items():
        session.set_input(name, qelmo.QelmoValue(array))
        print(f"input   {name}: {array.dtype} {list(array.shape)} {summarize(array)}", file=out)

    started = time.perf_counter()
    outputs = evaluate_once(session)
    first_ms = (time.perf_counter() - started) * 1000.0

    ordered: List[str] = [name for name in model.get_output_names() if name in outputs]
    ordered += [name for name in outputs if name not in ordered]
    for name in ordered:
        array = outputs[name]
        print(f"output  {name}: {array.dtype} {list(array.shape)} {summarize(array)}", file=out)
    tensor_types = {name: element_type for name, _, element_type in model.get_output_details()}
    for name in model.get_output_names():
        if name in outputs:
            continue
        if name in tensor_types:
            print(f"output  {name}: {tensor_types[name]} tensors are not returned by qelmo", file=out)
        else:
            print(f"output  {name}: a sequence or map, which qelmo does not return", file=out)
    if not outputs:
        print("no outputs returned", file=out)
    print(f"evaluated on {device} in {first_ms:.3f} ms", file=out)

    if repeat > 0:
        latencies = []
        for _ in tqdm(range(repeat), desc="evaluating", unit="run", disable=None):
            started = time.perf_counter()
            session.evaluate()
            latencies.append((time.perf_counter() - started) * 1000.0)
        print(percentile_report(latencies), file=out)

    if output_dir is not None:
        os.makedirs(output_dir, exist_ok=True)
        taken: Set[str] = set()
        for name in ordered:
            target = os.path.join(output_dir, file_name_for(name, taken))
            np.save(target, outputs[name], allow_pickle=False)
            print(f"saved   {name} to {target}", file=out)
