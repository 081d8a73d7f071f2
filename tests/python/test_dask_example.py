"""examples/dask_scoring.py on a LocalCluster of two worker processes gives
exactly what scoring in one process gives, each worker loading the model
once for all its chunks."""

import os
import sys

import pytest

pytest.importorskip("dask")
pytest.importorskip("distributed")

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "examples")


@pytest.fixture(scope="module")
def example():
    sys.path.insert(0, EXAMPLES)
    try:
        import dask_scoring
    finally:
        sys.path.remove(EXAMPLES)
    return dask_scoring


@pytest.mark.parametrize("rows, chunk_rows", [(20_000, 1_000), (1003, 50)])
def test_two_workers_score_as_one_process_does(example, two_workers, capsys, tmp_path, rows, chunk_rows):
    import shutil

    from qelmo_cli.sample import SAMPLE_MODEL_PATH

    model = str(shutil.copy(SAMPLE_MODEL_PATH, tmp_path / "sample.onnx"))  # loads counted for this test alone
    example.main([model, "--scheduler", two_workers.scheduler.address, "--rows", str(rows), "--chunk-rows", str(chunk_rows), "--output", "probabilities"])
    lines = capsys.readouterr().out.splitlines()
    chunks = -(-rows // chunk_rows)
    assert lines[0].startswith(f"scored {rows} rows in {chunks} chunks on 2 workers")
    assert lines[1].startswith("output float32 [" + f"{rows}, 3]")
    # Once per worker that scored a chunk (both, unless one got them all).
    assert lines[2] in ("model loads per worker: [1, 1]", "model loads per worker: [1]")
    assert lines[3:] == ["same as scoring in this process: True"]
