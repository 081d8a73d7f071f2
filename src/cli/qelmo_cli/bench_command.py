"""`qelmo bench`: throughput and latency of a model's evaluations, in this
process or in several worker processes at once."""

import os
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, List, Optional, TextIO, Tuple

import qelmo

from qelmo_cli.bench_workers import run_workers
from qelmo_cli.devices import DeviceChoice, session_device
from qelmo_cli.evaluation import staged_session
from qelmo_cli.inputs import InputOptions, Inputs, build_inputs
from qelmo_cli.json_report import STDOUT, base_report, check_json_target, write_json
from qelmo_cli.table import format_shape
from qelmo_cli.timing import (
    INTERRUPTED_NOTE,
    Figures,
    Limits,
    figures,
    joined_figures,
    latency_line,
    throughput_line,
    time_runs,
)

DEFAULT_WARMUP = 3
DEFAULT_REPEAT = 1000
DEFAULT_SECONDS = 10.0


@dataclass
class BenchOptions:
    inputs: InputOptions = field(default_factory=InputOptions)
    device: str = "cpu"
    limits: Limits = field(default_factory=lambda: Limits(DEFAULT_WARMUP, DEFAULT_REPEAT, DEFAULT_SECONDS))
    processes: int = 1
    json_path: Optional[str] = None


def bench_model(path: str, out: TextIO, options: BenchOptions) -> None:
    if options.json_path is not None:
        check_json_target(options.json_path)
    model = qelmo.QelmoModel(path)
    inputs = build_inputs(options.inputs, model)
    # Made here whatever the number of processes, so that the report says
    # where sessions run; each worker makes its own.
    session = staged_session(model, options.device, inputs.arrays)
    device = session_device(options.device)
    _print_plan(path, model, inputs, device, options, out)

    report: Dict[str, Any] = base_report("bench", path, model, inputs, device)
    report["limits"] = asdict(options.limits)
    report["processes"] = options.processes
    if options.processes == 1:
        timed = time_runs(session.evaluate, options.limits, progress=True)
        interrupted = timed.interrupted
        result = figures(timed.latencies, timed.wall)
        _print_interrupted(interrupted, out)
        _print_figures("", result, out)
    else:
        del session
        result, interrupted = _bench_in_processes(path, inputs, options, report, out)
    report["interrupted"] = interrupted
    report["timing"] = result.as_json()
    if options.json_path is not None:
        write_json(options.json_path, report)
        if options.json_path != STDOUT:
            print(f"wrote       {options.json_path}", file=out)
    if interrupted:
        raise KeyboardInterrupt  # what was measured is out: exit as interrupted


def _print_plan(
    path: str, model: qelmo.QelmoModel, inputs: Inputs, device: DeviceChoice, options: BenchOptions, out: TextIO
) -> None:
    limits = options.limits
    stops = [f"{limits.repeat} runs" if limits.repeat is not None else "", f"{limits.seconds:g} s" if limits.seconds else ""]
    print(f"model:      {model.get_name() or '-'} ({os.path.abspath(path)})", file=out)
    for name, array in inputs.arrays.items():
        print(f"input:      {name}: {array.dtype} {format_shape(list(array.shape))} ({inputs.sources[name]})", file=out)
    print(f"device:     {device.describe()}", file=out)
    where = f"{options.processes} processes, each with its own session" if options.processes > 1 else "this process"
    print(f"runs:       {limits.warmup} warm-up, then until {' or '.join(s for s in stops if s)}; {where}", file=out)


def _print_interrupted(interrupted: bool, out: TextIO) -> None:
    if interrupted:
        print(INTERRUPTED_NOTE, file=out)


def _print_figures(label: str, result: Figures, out: TextIO) -> None:
    print(f"{label}{throughput_line(result)}", file=out)
    print(f"{label}{latency_line(result)}", file=out)


def _bench_in_processes(
    path: str, inputs: Inputs, options: BenchOptions, report: Dict[str, Any], out: TextIO
) -> Tuple[Figures, bool]:
    workers = run_workers(path, options.device, inputs.arrays, options.limits, options.processes)
    _print_interrupted(workers.interrupted, out)
    per_process: List[Dict[str, Any]] = []
    for index, timed in enumerate(workers.runs):
        result = figures(timed.latencies, timed.wall) if timed is not None else figures([], 0.0)
        if not result.runs:
            print(f"process {index + 1}: stopped before timing", file=out)
        else:
            _print_figures(f"process {index + 1}: ", result, out)
        per_process.append(result.as_json())
    timed_runs = [timed for timed in workers.runs if timed is not None]
    joined = joined_figures(timed_runs)
    print(f"all {len(workers.runs)} processes, over the common window:", file=out)
    _print_figures("  ", joined, out)
    report["per_process"] = per_process
    return joined, workers.interrupted
