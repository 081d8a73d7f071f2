"""Scores a dataset with qelmo on a dask.distributed cluster, through the
scoring helper qelmo_cli.dask.

The rows are made by the workers themselves (random, seeded chunk by
chunk), so nothing is sent from this process but the task graph; with real
data, read it where it is stored: from_npy, dask.array.from_zarr, a dask
DataFrame's columns. Each worker loads the model once, whatever the number
of chunks, and scores its chunks on its own session. The scores are
gathered here to be shown and checked against scoring in this process; a
data set bigger than this process's memory goes to storage instead
(to_npy, to_zarr, or the `qelmo score` command).

    pip install "qelmo[dask]"
    python examples/dask_scoring.py                       # the sample model, a LocalCluster
    python examples/dask_scoring.py MODEL --rows 100000 --chunk-rows 5000
    python examples/dask_scoring.py MODEL --scheduler tcp://scheduler:8786

Every worker must be able to read the model at the same path.
"""

import argparse
import os
import time
from typing import Optional

import dask.array as da
import numpy as np
from distributed import Client

import qelmo
from qelmo_cli.dask import local_client, score, worker_cache_info


def random_rows(model_path: str, rows: int, chunk_rows: int, seed: int) -> da.Array:
    """Rows for the model's one input (whose first dimension is the batch),
    made chunk by chunk where they are scored."""
    ((_, shape, element_type),) = qelmo.QelmoModel(model_path).get_input_details()
    if any(size < 0 for size in shape[1:]):
        raise SystemExit(f"the input's shape {shape} has free dimensions besides the batch")
    normal = da.random.default_rng(seed).standard_normal((rows, *shape[1:]), chunks=(chunk_rows, *shape[1:]))
    return normal.astype(element_type)


def score_in_process(model_path: str, data: np.ndarray, output_name: str) -> np.ndarray:
    """The same rows scored in this process, in one evaluation."""
    model = qelmo.QelmoModel(model_path)
    (input_name,) = model.get_input_names()
    session = qelmo.QelmoSession(model, qelmo.CPU)
    session.set_input(input_name, qelmo.QelmoValue(data))
    return session.evaluate()[output_name].to_numpy()


def main(argv: Optional[list] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", nargs="?", help="an ONNX model with one input (default: qelmo's sample model)")
    parser.add_argument("--scheduler", help="address of a running scheduler (default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default: 2)")
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--chunk-rows", type=int, default=10_000)
    parser.add_argument("--output", help="the output to collect (default: the model's first)")
    parser.add_argument("--seed", type=int, default=0)
    arguments = parser.parse_args(argv)
    if arguments.model is None:
        from qelmo_cli.sample import SAMPLE_MODEL_PATH

        arguments.model = SAMPLE_MODEL_PATH
    model_path = os.path.abspath(arguments.model)
    output = arguments.output or qelmo.QelmoModel(model_path).get_output_names()[0]

    # A LocalCluster's workers get one thread and their share of the CPUs each.
    client = Client(arguments.scheduler) if arguments.scheduler else local_client(arguments.workers)
    with client:
        data = random_rows(model_path, arguments.rows, arguments.chunk_rows, arguments.seed)
        started = time.perf_counter()
        scores = score(model_path, {qelmo.QelmoModel(model_path).get_input_names()[0]: data}, outputs=[output])[output]
        got = scores.compute()
        took = time.perf_counter() - started
        loads = sorted(
            model["loads"] for info in client.run(worker_cache_info).values() for model in info["models"] if model["path"] == os.path.realpath(model_path)
        )
        rows = data.compute()  # for the check below: made again, the same, by the same seeds
        workers = len(client.scheduler_info()["workers"])
    same = np.array_equal(got, score_in_process(model_path, rows, output))
    print(f"scored {len(got)} rows in {scores.numblocks[0]} chunks on {workers} workers in {took:.2f} s")
    print(f"output {got.dtype} {list(got.shape)}; first row {got[0]}")
    print(f"model loads per worker: {loads}")
    print(f"same as scoring in this process: {same}")


if __name__ == "__main__":
    main()
