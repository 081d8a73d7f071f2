"""Timed evaluations and their figures: throughput and latency
percentiles, shared by `qelmo run`, `qelmo bench` and its worker
processes."""

import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
from tqdm import tqdm  # type: ignore[import-untyped]

LATENCY_FIGURES = ("min", "p50", "p90", "p99", "max", "mean")
INTERRUPTED_NOTE = "interrupted (Ctrl-C): the figures cover the runs timed until then"


@dataclass
class Limits:
    """Warm-up runs, then timed runs until `repeat` runs or `seconds` have
    passed, whichever comes first (None: no such limit)."""

    warmup: int = 0
    repeat: Optional[int] = None
    seconds: Optional[float] = None


@dataclass
class TimedRuns:
    latencies: List[float]  # seconds, one per run
    wall: float  # seconds from the first timed run's start to the last one's end
    # time.monotonic() at the start and end: the same clock in every process
    # of the machine, so windows of several processes can be joined.
    started: float
    ended: float
    # Ctrl-C ended the runs early: the figures cover the runs timed before it.
    interrupted: bool = False


@dataclass
class Figures:
    runs: int
    wall: float
    runs_per_second: float
    latency: Dict[str, float]  # seconds, by LATENCY_FIGURES

    def as_json(self) -> Dict[str, Any]:
        return {
            "runs": self.runs,
            "wall_s": self.wall,
            "runs_per_second": self.runs_per_second,
            "latency_s": dict(self.latency),
        }


def time_runs(
    call: Callable[[], object],
    limits: Limits,
    progress: bool = False,
    when_warm: Optional[Callable[[], None]] = None,
) -> TimedRuns:
    """Times each call alone; `when_warm` runs between warm-up and timing
    (worker processes wait there to start together). Ctrl-C ends the runs
    early, and what was timed until then comes back, marked interrupted."""
    clock = time.perf_counter
    latencies: List[float] = []
    bar = None
    started: Optional[float] = None
    started_monotonic = last_end = 0.0
    try:
        for _ in range(limits.warmup):
            call()
        if when_warm is not None:
            when_warm()
        # tqdm(disable=None) shows the bar only on a terminal.
        bar = tqdm(total=limits.repeat, desc="evaluating", unit="run", disable=None if progress else True, leave=False)
        started_monotonic, started = time.monotonic(), clock()
        last_end = started
        deadline = None if limits.seconds is None else started + limits.seconds
        while limits.repeat is None or len(latencies) < limits.repeat:
            before = clock()
            call()
            after = clock()
            latencies.append(after - before)
            last_end = after
            bar.update()
            if deadline is not None and after >= deadline:
                break
    except KeyboardInterrupt:
        if started is None:  # still warming up: nothing timed
            return TimedRuns([], 0.0, time.monotonic(), time.monotonic(), interrupted=True)
        # Up to the end of the last run recorded: a run cut short is not counted.
        wall = last_end - started
        return TimedRuns(latencies, wall, started_monotonic, started_monotonic + wall, interrupted=True)
    finally:
        if bar is not None:
            bar.close()
    wall = clock() - started
    return TimedRuns(latencies, wall, started_monotonic, started_monotonic + wall)


def figures(latencies: Sequence[float], wall: float) -> Figures:
    values = np.asarray(latencies, dtype=np.float64)
    if values.size == 0:
        return Figures(0, wall, 0.0, {})
    p50, p90, p99 = np.percentile(values, [50, 90, 99])
    latency = {
        "min": float(values.min()),
        "p50": float(p50),
        "p90": float(p90),
        "p99": float(p99),
        "max": float(values.max()),
        "mean": float(values.mean()),
    }
    return Figures(int(values.size), wall, values.size / wall if wall > 0 else 0.0, latency)


def joined_figures(runs: Sequence[TimedRuns]) -> Figures:
    """Several processes' runs as one: every latency, over the window from
    the first start to the last end."""
    timed = [one for one in runs if one.latencies]  # an interrupted process may have none
    latencies = [latency for one in timed for latency in one.latencies]
    window = max(one.ended for one in timed) - min(one.started for one in timed) if timed else 0.0
    return figures(latencies, window)


def _unit_for(seconds: float) -> Tuple[str, float]:
    micro = "µs" if _can_print("µ") else "us"
    for unit, scale, below in (("ns", 1e9, 1e-6), (micro, 1e6, 1e-3), ("ms", 1e3, 1.0)):
        if seconds < below:
            return unit, scale
    return "s", 1.0


def _can_print(text: str) -> bool:
    try:
        text.encode(getattr(sys.stdout, "encoding", None) or "ascii")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


def _three_digits(value: float) -> str:
    if value >= 100:
        return f"{value:.0f}"
    return f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def format_duration(seconds: float) -> str:
    unit, scale = _unit_for(seconds)
    return f"{_three_digits(seconds * scale)} {unit}"


def latency_line(result: Figures) -> str:
    """One unit for the whole line, the one that fits the median."""
    if result.runs == 0:
        return "latency: no timed runs"
    unit, scale = _unit_for(result.latency["p50"])
    shown = "  ".join(f"{name} {_three_digits(result.latency[name] * scale)}" for name in LATENCY_FIGURES)
    return f"latency over {result.runs} runs ({unit}): {shown}"


def format_rate(per_second: float) -> str:
    return f"{per_second:,.0f}" if per_second >= 100 else f"{per_second:.3g}"


def throughput_line(result: Figures) -> str:
    return f"throughput: {format_rate(result.runs_per_second)} runs/s ({result.runs} runs in {format_duration(result.wall)})"
