"""`qelmo run`: evaluate a model once, show its outputs, and optionally time
more evaluations, save the outputs and write a JSON report."""

import time
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, Optional, TextIO

import numpy as np
import qelmo

from qelmo_cli.devices import session_device
from qelmo_cli.evaluation import evaluate_once, left_out_outputs, staged_session
from qelmo_cli.inputs import InputOptions, build_inputs
from qelmo_cli.json_report import STDOUT, base_report, check_json_target, write_json
from qelmo_cli.output_files import prepare_output_dir, save_outputs
from qelmo_cli.tensor_files import Array
from qelmo_cli.timing import INTERRUPTED_NOTE, Limits, figures, latency_line, throughput_line, time_runs

SHOWN_VALUES = 6


@dataclass
class RunOptions:
    inputs: InputOptions = field(default_factory=InputOptions)
    device: str = "cpu"
    # No timed runs unless a count or a time is given; the first evaluation,
    # whose outputs are shown, already warms the session up.
    limits: Limits = field(default_factory=Limits)
    output_dir: Optional[str] = None
    json_path: Optional[str] = None

    def timed(self) -> bool:
        return bool(self.limits.repeat) or self.limits.seconds is not None


def summarize(array: Array) -> str:
    flat = array.reshape(-1)
    shown = [f"{value:.4g}" if np.issubdtype(flat.dtype, np.inexact) else str(value) for value in flat[:SHOWN_VALUES]]
    if flat.size > SHOWN_VALUES:
        shown.append(f"... ({flat.size} values)")
    return "[" + ", ".join(shown) + "]"


def run_model(path: str, out: TextIO, options: Optional[RunOptions] = None) -> None:
    options = options or RunOptions()
    # What could fail at the end is checked before anything is evaluated.
    if options.json_path is not None:
        check_json_target(options.json_path)
    if options.output_dir is not None:
        prepare_output_dir(options.output_dir)

    model = qelmo.QelmoModel(path)
    inputs = build_inputs(options.inputs, model)
    session = staged_session(model, options.device, inputs.arrays)
    device = session_device(options.device)
    for name, array in inputs.arrays.items():
        print(f"input   {name}: {array.dtype} {list(array.shape)} {summarize(array)}", file=out)

    started = time.perf_counter()
    outputs = evaluate_once(session)
    first = time.perf_counter() - started

    for name, array in outputs.items():
        print(f"output  {name}: {array.dtype} {list(array.shape)} {summarize(array)}", file=out)
    left_out = left_out_outputs(model, outputs)
    for name, reason in left_out.items():
        print(f"output  {name}: {reason}", file=out)
    if not outputs:
        print("no outputs returned", file=out)
    if device.requested != "cpu":
        print(f"device: {device.describe()}", file=out)
    print(f"evaluated on {device.used} in {first * 1000.0:.3f} ms", file=out)

    report: Dict[str, Any] = base_report("run", path, model, inputs, device)
    report["first_evaluation_s"] = first
    report["outputs"] = [{"name": name, "shape": list(outputs[name].shape), "dtype": str(outputs[name].dtype)} for name in outputs]
    report["left_out"] = left_out
    interrupted = False
    if options.timed():
        timed = time_runs(session.evaluate, options.limits, progress=True)
        interrupted = timed.interrupted
        result = figures(timed.latencies, timed.wall)
        if interrupted:
            print(INTERRUPTED_NOTE, file=out)
        print(latency_line(result), file=out)
        print(throughput_line(result), file=out)
        report["limits"] = asdict(options.limits)
        report["timing"] = result.as_json()
        report["interrupted"] = interrupted

    if options.output_dir is not None:
        for name, target in save_outputs(options.output_dir, outputs):
            print(f"saved   {name} to {target}", file=out)
    if options.json_path is not None:
        write_json(options.json_path, report)
        if options.json_path != STDOUT:
            print(f"wrote   {options.json_path}", file=out)
    if interrupted:
        raise KeyboardInterrupt  # what was measured is out: exit as interrupted
