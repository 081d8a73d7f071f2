"""Two threads on qelmo sessions: how often a shared session hands a thread
the other thread's result, and what threads add to throughput.

Staged inputs are the session's state: between one thread's set_input and
its evaluate, another thread can stage its own value, and the first thread
then gets the result of the second one's input. evaluate() holds the
interpreter lock for its whole call, so threads never evaluate at the same
time and add no throughput; processes do (`qelmo bench --processes N`).

    python examples/session_threads.py [--runs 20000] [--seconds 5] [--switch-interval S]
"""

import argparse
import sys
import threading
import time
from typing import Callable, List, Optional

import numpy as np

import qelmo
from qelmo_cli.sample import SAMPLE_MODEL_PATH

INPUT, OUTPUT = "features", "probabilities"


def session() -> qelmo.QelmoSession:
    return qelmo.QelmoSession(qelmo.QelmoModel(SAMPLE_MODEL_PATH), qelmo.CPU)


def expected_output(features: np.ndarray) -> np.ndarray:
    one = session()
    one.set_input(INPUT, qelmo.QelmoValue(features))
    return one.evaluate()[OUTPUT].to_numpy()


def evaluate(on: qelmo.QelmoSession, features: np.ndarray) -> np.ndarray:
    on.set_input(INPUT, qelmo.QelmoValue(features))
    return on.evaluate()[OUTPUT].to_numpy()


def wrong_results(runs: int, shared: bool, lock: Optional[threading.Lock] = None) -> int:
    """Two threads, each staging its own features and evaluating `runs`
    times, on one shared session or on one session each; the count of
    results that belong to the other thread's input."""
    features = [np.full((1, 4), value, np.float32) for value in (-1.0, 1.0)]
    expected = [expected_output(array) for array in features]
    common = session() if shared else None
    wrong = [0, 0]

    def work(index: int) -> None:
        mine = common if common is not None else session()
        for _ in range(runs):
            if lock is not None:
                with lock:
                    got = evaluate(mine, features[index])
            else:
                got = evaluate(mine, features[index])
            if not np.array_equal(got, expected[index]):
                wrong[index] += 1

    run_threads([lambda: work(0), lambda: work(1)])
    return sum(wrong)


def runs_per_second(threads: int, seconds: float) -> float:
    """Evaluations per second of `threads` threads, each on its own session."""
    counts: List[int] = [0] * threads

    def work(index: int) -> None:
        mine = session()
        mine.set_input(INPUT, qelmo.QelmoValue(np.ones((1, 4), np.float32)))
        deadline = time.perf_counter() + seconds
        while time.perf_counter() < deadline:
            mine.evaluate()
            counts[index] += 1

    run_threads([lambda index=index: work(index) for index in range(threads)])
    return sum(counts) / seconds


def run_threads(targets: List[Callable[[], None]]) -> None:
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20_000, help="evaluations per thread (default: 20000)")
    parser.add_argument("--seconds", type=float, default=5.0, help="length of each throughput run (default: 5)")
    parser.add_argument(
        "--switch-interval", type=float, help="sys.setswitchinterval: how often the interpreter may change threads (default 0.005 s)"
    )
    arguments = parser.parse_args()
    if arguments.switch_interval is not None:
        sys.setswitchinterval(arguments.switch_interval)
    total = 2 * arguments.runs
    print(f"shared session:              {wrong_results(arguments.runs, shared=True)} wrong in {total}")
    print(f"shared session with a lock:  {wrong_results(arguments.runs, shared=True, lock=threading.Lock())} wrong in {total}")
    print(f"one session per thread:      {wrong_results(arguments.runs, shared=False)} wrong in {total}")
    print(f"one thread:                  {runs_per_second(1, arguments.seconds):,.0f} runs/s")
    print(f"two threads, two sessions:   {runs_per_second(2, arguments.seconds):,.0f} runs/s")


if __name__ == "__main__":
    main()
