"""Scores a dataset with qelmo on a dask.distributed cluster.

The dataset is cut into chunks along its first (batch) axis; each chunk is
scored by a worker and the results come back in order, concatenated. Each
worker makes its own qelmo session the first time it scores a chunk and
keeps it for the next ones. Sessions are never sent to the workers: they do
not pickle, by design. What travels is the model's path and the arrays.

    pip install "qelmo[dask]"
    python examples/dask_scoring.py                       # the sample model, a LocalCluster
    python examples/dask_scoring.py MODEL --rows 100000 --chunk-rows 5000
    python examples/dask_scoring.py MODEL --scheduler tcp://scheduler:8786

Every worker must be able to read the model at the same path.
"""

import argparse
import threading
import time
from typing import Any, Dict, Optional

import numpy as np
from dask.distributed import Client, LocalCluster, WorkerPlugin, get_worker

import qelmo


class QelmoSessions(WorkerPlugin):
    """Lives in each worker process: one session per worker thread, made on
    first use. Staged inputs belong to a session, so threads of a worker
    must not share one."""

    name = "qelmo-sessions"

    def __init__(self, model_path: str) -> None:
        self.model_path = model_path

    def setup(self, worker: Any) -> None:
        self.lock = threading.Lock()
        self.sessions: Dict[int, qelmo.QelmoSession] = {}

    def session(self) -> qelmo.QelmoSession:
        thread = threading.get_ident()
        with self.lock:
            if thread not in self.sessions:
                model = qelmo.QelmoModel(self.model_path)
                self.sessions[thread] = qelmo.QelmoSession(model, qelmo.CPU)
            return self.sessions[thread]


def score_chunk(chunk: np.ndarray, input_name: str, output_name: str) -> np.ndarray:
    session = get_worker().plugins[QelmoSessions.name].session()
    session.set_input(input_name, qelmo.QelmoValue(chunk))
    return session.evaluate()[output_name].to_numpy()


def score(client: Client, model_path: str, data: np.ndarray, chunk_rows: int, output_name: Optional[str] = None) -> np.ndarray:
    """The model's output for every row of `data` (a model with one input)."""
    model = qelmo.QelmoModel(model_path)
    (input_name,) = model.get_input_names()
    output_name = output_name or model.get_output_names()[0]
    # register_plugin since distributed 2023.9; register_worker_plugin before.
    register = getattr(client, "register_plugin", None) or client.register_worker_plugin
    register(QelmoSessions(model_path))

    chunks = [data[start : start + chunk_rows] for start in range(0, len(data), chunk_rows)]
    scattered = client.scatter(chunks)
    futures = client.map(score_chunk, scattered, input_name=input_name, output_name=output_name)
    return np.concatenate(client.gather(futures))


def score_in_process(model_path: str, data: np.ndarray, chunk_rows: int, output_name: Optional[str] = None) -> np.ndarray:
    """The same, chunk by chunk in this process: what the cluster must match."""
    model = qelmo.QelmoModel(model_path)
    (input_name,) = model.get_input_names()
    output_name = output_name or model.get_output_names()[0]
    session = qelmo.QelmoSession(model, qelmo.CPU)
    parts = []
    for start in range(0, len(data), chunk_rows):
        session.set_input(input_name, qelmo.QelmoValue(data[start : start + chunk_rows]))
        parts.append(session.evaluate()[output_name].to_numpy())
    return np.concatenate(parts)


def random_rows(model_path: str, rows: int, seed: int) -> np.ndarray:
    """Rows for the model's one input, whose first dimension is the batch."""
    ((_, shape, element_type),) = qelmo.QelmoModel(model_path).get_input_details()
    if any(size < 0 for size in shape[1:]):
        raise SystemExit(f"the input's shape {shape} has free dimensions besides the batch")
    return np.random.default_rng(seed).standard_normal((rows, *shape[1:])).astype(element_type)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", nargs="?", help="an ONNX model with one input (default: qelmo's sample model)")
    parser.add_argument("--scheduler", help="address of a running scheduler (default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default: 2)")
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--chunk-rows", type=int, default=10_000)
    parser.add_argument("--output", help="the output to collect (default: the model's first)")
    parser.add_argument("--seed", type=int, default=0)
    arguments = parser.parse_args()
    if arguments.model is None:
        from qelmo_cli.sample import SAMPLE_MODEL_PATH

        arguments.model = SAMPLE_MODEL_PATH

    data = random_rows(arguments.model, arguments.rows, arguments.seed)
    if arguments.scheduler:
        client = Client(arguments.scheduler)
    else:
        # One thread per worker: evaluate() holds the interpreter lock for the
        # whole call, so more threads in a process add no throughput.
        client = Client(LocalCluster(n_workers=arguments.workers, threads_per_worker=1, processes=True))
    with client:
        started = time.perf_counter()
        scores = score(client, arguments.model, data, arguments.chunk_rows, arguments.output)
        took = time.perf_counter() - started
        workers = len(client.scheduler_info()["workers"])
    same = np.array_equal(scores, score_in_process(arguments.model, data, arguments.chunk_rows, arguments.output))
    print(f"scored {len(data)} rows in {-(-len(data) // arguments.chunk_rows)} chunks on {workers} workers in {took:.2f} s")
    print(f"output {scores.dtype} {list(scores.shape)}; first row {scores[0]}")
    print(f"same as scoring in this process: {same}")


if __name__ == "__main__":
    main()
