"""Worker processes for `qelmo bench --processes N`.

evaluate() holds the interpreter lock for its whole call, so several cores
are used from Python through processes. Each worker loads the model and
makes its own session (sessions do not pickle, by design): it is sent the
model's path and the input arrays. All start timing together, after their
warm-up, at a barrier.

Ctrl-C reaches every process of the terminal's group. Each worker stops
timing at the first one and reports what it measured; the parent does not
stop on it, but passes it on (for an interrupt sent to the parent alone)
and gathers those reports. A second Ctrl-C stops the parent at once. The
signal is blocked while workers start, so that one arriving before a
worker is ready waits for it rather than ending it with a traceback."""

import multiprocessing
import os
import queue
import signal
import threading
from contextlib import contextmanager
from dataclasses import dataclass
from types import FrameType
from typing import Any, Dict, Iterator, List, Mapping, Optional

import qelmo

from qelmo_cli.errors import WorkerFailed, explain
from qelmo_cli.evaluation import staged_session
from qelmo_cli.tensor_files import Array
from qelmo_cli.timing import Limits, TimedRuns, time_runs

POLL_SECONDS = 0.2
# How long a worker that has exited may stay silent before it counts as lost:
# its last message can still be on its way through the queue.
SILENCE_POLLS = 10



class _InterruptOnce:
    """A SIGINT handler: the first interrupt raises KeyboardInterrupt, while
    `raising` holds; any later one is ignored."""

    def __init__(self) -> None:
        self.requested = False
        self.raising = True

    def __call__(self, signum: int, frame: Optional[FrameType]) -> None:
        if not self.requested:
            self.requested = True
            if self.raising:
                raise KeyboardInterrupt


def worker(
    index: int,
    path: str,
    device: str,
    arrays: Mapping[str, Array],
    limits: Limits,
    barrier: Any,
    results: Any,
) -> None:
    interrupt = _InterruptOnce()
    try:
        if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:  # as the parent had it
            signal.signal(signal.SIGINT, interrupt)
        # An interrupt that came while this process started is raised here.
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        session = staged_session(qelmo.QelmoModel(path), device, arrays)
        timed = time_runs(session.evaluate, limits, when_warm=barrier.wait)
        interrupt.raising = False  # the report below must not be cut short
        if timed.interrupted:
            barrier.abort()  # no one waits for this worker
        results.put((index, "done", timed))
    except KeyboardInterrupt:  # before its session was made
        interrupt.raising = False
        barrier.abort()
        results.put((index, "stopped", None))
    except threading.BrokenBarrierError:
        results.put((index, "stopped", None))  # another worker failed or was interrupted first
    except BaseException as error:  # noqa: BLE001 - reported by the parent
        interrupt.raising = False
        barrier.abort()
        results.put((index, "failed", explain(error)))


@dataclass
class WorkerRuns:
    """Each worker's timed runs, None for one interrupted before it timed
    anything; `interrupted` when Ctrl-C ended the runs early."""

    runs: List[Optional[TimedRuns]]
    interrupted: bool


@contextmanager
def _interrupt_blocked() -> Iterator[None]:
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class _ParentInterrupts:
    """The parent's SIGINT handler while workers run: the first interrupt is
    recorded, to be passed on; the second stops the parent."""

    def __init__(self) -> None:
        self.count = 0

    def __call__(self, signum: int, frame: Optional[FrameType]) -> None:
        self.count += 1
        if self.count > 1:
            raise KeyboardInterrupt


def run_workers(path: str, device: str, arrays: Mapping[str, Array], limits: Limits, count: int) -> WorkerRuns:
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(count)
    results = context.Queue()
    processes = [
        context.Process(target=worker, args=(index, path, device, dict(arrays), limits, barrier, results), daemon=True)
        for index in range(count)
    ]
    interrupts = _ParentInterrupts()
    previous_handler = signal.getsignal(signal.SIGINT)
    if previous_handler is not signal.SIG_IGN:  # ignored, it stays ignored
        signal.signal(signal.SIGINT, interrupts)
    try:
        # Workers inherit the blocked signal and unblock it once ready.
        with _interrupt_blocked():
            for process in processes:
                process.start()
        return _collect(processes, barrier, results, interrupts)
    finally:
        signal.signal(signal.SIGINT, previous_handler)
        for process in processes:
            process.join(timeout=5)
            if process.is_alive():
                process.terminate()
                process.join()


def _collect(processes: List[Any], barrier: Any, results: Any, interrupts: _ParentInterrupts) -> WorkerRuns:
    reported: Dict[int, Optional[TimedRuns]] = {}
    silent: Dict[int, int] = {}
    passed_on = False
    while len(reported) < len(processes):
        if interrupts.count and not passed_on:
            _pass_interrupt_on(processes, reported)
            passed_on = True
        try:
            index, outcome, payload = results.get(timeout=POLL_SECONDS)
        except queue.Empty:
            _check_lost(processes, reported, silent, barrier, tolerate=passed_on)
            continue
        if outcome == "done":
            reported[index] = payload
        elif outcome == "stopped":
            # Another worker failed, whose report follows, or an interrupt came.
            reported[index] = None
        else:
            _stop(processes, barrier)
            headline, details = payload
            raise WorkerFailed(f"process {index + 1}: {headline}", details)
    runs = [reported[index] for index in range(len(processes))]
    interrupted = bool(interrupts.count) or any(one is None or one.interrupted for one in runs)
    return WorkerRuns(runs, interrupted)


def _pass_interrupt_on(processes: List[Any], reported: Dict[int, Optional[TimedRuns]]) -> None:
    """For an interrupt sent to the parent alone; workers that had it from
    the terminal already ignore a second one."""
    for index, process in enumerate(processes):
        if index not in reported and process.is_alive():
            os.kill(process.pid, signal.SIGINT)


def _check_lost(
    processes: List[Any], reported: Dict[int, Optional[TimedRuns]], silent: Dict[int, int], barrier: Any, tolerate: bool
) -> None:
    """A worker that exited without reporting; after an interrupt, it
    counts as having timed nothing."""
    for index, process in enumerate(processes):
        if index in reported or process.exitcode is None:
            continue
        silent[index] = silent.get(index, 0) + 1
        if silent[index] > SILENCE_POLLS:
            if tolerate:
                reported[index] = None
                continue
            _stop(processes, barrier)
            raise WorkerFailed(f"process {index + 1} ended with exit code {process.exitcode} before reporting", [])


def _stop(processes: List[Any], barrier: Any) -> None:
    barrier.abort()
    for process in processes:
        if process.is_alive():
            process.terminate()
