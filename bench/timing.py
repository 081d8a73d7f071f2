"""Interleaved timing of competing callables.

Each round runs every side once, one after the other (A, B, A, B, ...), so
that a disturbance of the machine falls on all of them; a side's sample for
the round is the mean time of a batch of calls, the batch sized so that a
round takes a few milliseconds even for microsecond calls. Each batch
starts after an untimed pause of 80 ms: both sides' thread pools spin for
up to about 60 ms after their work, and without the pause the side that ran
last would still be spinning on a core the next side's batch wants.
"""

import time
from dataclasses import dataclass

import numpy as np


@dataclass
class Timing:
    median: float  # seconds per call
    p10: float
    p90: float
    samples: int


def _per_call(function, calls):
    start = time.perf_counter()
    for _ in range(calls):
        function()
    return (time.perf_counter() - start) / calls


def interleaved(sides, rounds, warm_up_seconds=0.2, batch_seconds=0.01, pause_seconds=0.08):
    """Times every callable of `sides` (name -> callable) in interleaved rounds.

    Returns name -> Timing of the per-call time.
    """
    batch = {}
    for name, function in sides.items():
        function()  # the first call pays for lazy set-up
        calls, spent = 0, 0.0
        while spent < warm_up_seconds or calls < 2:
            start = time.perf_counter()
            function()
            spent += time.perf_counter() - start
            calls += 1
        batch[name] = max(1, int(batch_seconds / (spent / calls)))

    samples = {name: [] for name in sides}
    for _ in range(rounds):
        for name, function in sides.items():
            time.sleep(pause_seconds)
            samples[name].append(_per_call(function, batch[name]))
    result = {}
    for name, values in samples.items():
        p10, median, p90 = np.percentile(values, [10, 50, 90])
        result[name] = Timing(float(median), float(p10), float(p90), len(values))
    return result
