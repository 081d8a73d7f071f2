"""examples/dask_scoring.py on a LocalCluster of two worker processes gives
exactly what scoring in one process gives."""

import os
import sys

import numpy as np
import pytest

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

from qelmo_cli.sample import SAMPLE_MODEL_PATH  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "examples")


@pytest.fixture(scope="module")
def scoring():
    sys.path.insert(0, EXAMPLES)
    try:
        import dask_scoring
    finally:
        sys.path.remove(EXAMPLES)
    return dask_scoring


@pytest.fixture(scope="module")
def client(scoring):
    # Worker processes start with this process's sys.path: with the examples
    # folder on it, they find the example's functions by module name.
    sys.path.insert(0, EXAMPLES)
    try:
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    finally:
        sys.path.remove(EXAMPLES)
    with cluster, distributed.Client(cluster) as client:
        yield client


def test_two_workers_score_as_one_process_does(scoring, client):
    data = scoring.random_rows(SAMPLE_MODEL_PATH, rows=1003, seed=5)
    expected = scoring.score_in_process(SAMPLE_MODEL_PATH, data, chunk_rows=50, output_name="probabilities")
    got = scoring.score(client, SAMPLE_MODEL_PATH, data, chunk_rows=50, output_name="probabilities")
    assert got.dtype == np.float32 and got.shape == (1003, 3)
    assert np.array_equal(got, expected)
    # Each worker made one session, for all the chunks it scored.
    made = client.run(lambda dask_worker: len(dask_worker.plugins["qelmo-sessions"].sessions))
    assert len(made) == 2 and set(made.values()) <= {0, 1} and sum(made.values()) >= 1


def test_uneven_chunks_come_back_in_order(scoring, client):
    data = np.arange(40 * 4, dtype=np.float32).reshape(40, 4)
    got = scoring.score(client, SAMPLE_MODEL_PATH, data, chunk_rows=3, output_name="logits")
    assert np.array_equal(got, scoring.score_in_process(SAMPLE_MODEL_PATH, data, chunk_rows=3, output_name="logits"))
