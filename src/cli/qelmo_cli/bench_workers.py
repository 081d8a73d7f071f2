"""Worker processes for `qelmo bench --processes N`.

evaluate() holds the interpreter lock for its whole call, so several cores
are used from Python through processes. Each worker loads the model and
makes its own session (sessions do not pickle, by design): it is sent the
model's path and the input arrays. All start timing together, after their
warm-up, at a barrier."""

import multiprocessing
import queue
import threading
from typing import Any, Dict, List, Mapping

import qelmo

from qelmo_cli.errors import WorkerFailed, explain
from qelmo_cli.evaluation import staged_session
from qelmo_cli.tensor_files import Array
from qelmo_cli.timing import Limits, TimedRuns, time_runs

POLL_SECONDS = 0.2
# How long a worker that has exited may stay silent before it counts as lost:
# its last message can still be on its way through the queue.
SILENCE_POLLS = 10


def worker(
    index: int,
    path: str,
    device: str,
    arrays: Mapping[str, Array],
    limits: Limits,
    barrier: Any,
    results: Any,
) -> None:
    try:
        session = staged_session(qelmo.QelmoModel(path), device, arrays)
        timed = time_runs(session.evaluate, limits, when_warm=barrier.wait)
        results.put((index, "done", timed))
    except threading.BrokenBarrierError:
        results.put((index, "stopped", None))  # another worker failed first
    except BaseException as error:  # noqa: BLE001 - reported by the parent
        barrier.abort()
        results.put((index, "failed", explain(error)))


def run_workers(path: str, device: str, arrays: Mapping[str, Array], limits: Limits, count: int) -> List[TimedRuns]:
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(count)
    results = context.Queue()
    processes = [
        context.Process(target=worker, args=(index, path, device, dict(arrays), limits, barrier, results), daemon=True)
        for index in range(count)
    ]
    for process in processes:
        process.start()
    try:
        return _collect(processes, barrier, results)
    finally:
        for process in processes:
            process.join(timeout=5)
            if process.is_alive():
                process.terminate()
                process.join()


def _collect(processes: List[Any], barrier: Any, results: Any) -> List[TimedRuns]:
    done: Dict[int, TimedRuns] = {}
    silent: Dict[int, int] = {}
    while len(done) < len(processes):
        try:
            index, outcome, payload = results.get(timeout=POLL_SECONDS)
        except queue.Empty:
            _check_lost(processes, done, silent, barrier)
            continue
        if outcome == "done":
            done[index] = payload
        elif outcome == "failed":
            _stop(processes, barrier)
            headline, details = payload
            raise WorkerFailed(f"process {index + 1}: {headline}", details)
        else:
            _stop(processes, barrier)
            raise WorkerFailed(f"process {index + 1} stopped because another one failed", [])
    return [done[index] for index in range(len(processes))]


def _check_lost(processes: List[Any], done: Dict[int, TimedRuns], silent: Dict[int, int], barrier: Any) -> None:
    for index, process in enumerate(processes):
        if index in done or process.exitcode is None:
            continue
        silent[index] = silent.get(index, 0) + 1
        if silent[index] > SILENCE_POLLS:
            _stop(processes, barrier)
            raise WorkerFailed(f"process {index + 1} ended with exit code {process.exitcode} before reporting", [])


def _stop(processes: List[Any], barrier: Any) -> None:
    barrier.abort()
    for process in processes:
        if process.is_alive():
            process.terminate()

