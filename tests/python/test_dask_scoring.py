"""qelmo_cli.dask on a real LocalCluster of two worker processes: results
equal onnxruntime's, each worker loads a model once, a killed worker costs
no rows, and the client's memory does not grow with the data."""

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap

import eval_models
import numpy as np
import pytest

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
import dask.array as da  # noqa: E402
from qelmo_cli.dask import from_npy, score, to_npy, worker_cache_info  # noqa: E402
from qelmo_cli.sample import SAMPLE_MODEL_PATH  # noqa: E402

MiB = 1 << 20


def sample_copy(tmp_path):
    """The sample model at a path of its own, so that its loads are this test's."""
    return str(shutil.copy(SAMPLE_MODEL_PATH, tmp_path / "model.onnx"))


def write_rows(path, rows, seed, width=4):
    """A float32 .npy of `rows` random rows, written a piece at a time."""
    target = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(rows, width))
    rng = np.random.default_rng(seed)
    for start in range(0, rows, 500_000):
        stop = min(rows, start + 500_000)
        target[start:stop] = rng.standard_normal((stop - start, width), dtype=np.float32)
    target.flush()
    return str(path)


def loads_of(client, model):
    """Per worker, how often it loaded this model file."""
    path = os.path.realpath(model)
    infos = client.run(worker_cache_info)
    return {address: sum(entry["loads"] for entry in info["models"] if entry["path"] == path) for address, info in infos.items()}


def chunks_scored(client):
    return sum(info["chunks_scored"] for info in client.run(worker_cache_info).values())


# The client in a process of its own, so that its peak RSS is its own: idle
# is its RSS once connected, with everything imported and one small job
# done; the peak is its high-water mark over the big job, reset first.
CLIENT = """
import json, sys
import dask
from distributed import Client
from qelmo_cli.dask import from_npy, score, to_npy

address, model, source, folder = sys.argv[1:]

def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field + ":"))

def job(rows, prefix):
    outputs = score(model, {"features": from_npy(source, chunk_rows=20_000)[:rows]})
    futures = client.compute(to_npy(outputs, {name: f"{folder}/{prefix}{name}.npy" for name in outputs}))
    return sum(client.gather(futures))

with Client(address) as client:
    job(1000, "warm-")
    idle = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets VmHWM
    rows = job(None, "")
    print(json.dumps({"idle": idle, "peak": status("VmHWM"), "rows": rows}))
"""


@pytest.mark.scale
def test_storage_to_storage_exact_one_load_per_worker_and_a_flat_client(two_workers, tmp_path):
    model = sample_copy(tmp_path)
    address = two_workers.scheduler.address
    growth = {}
    for rows in (200_000, 2_000_000):
        source = write_rows(tmp_path / f"features-{rows}.npy", rows, seed=rows)
        folder = tmp_path / f"scores-{rows}"
        folder.mkdir()
        child = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(CLIENT), address, model, source, str(folder)], capture_output=True, text=True, timeout=300
        )
        assert child.returncode == 0, child.stderr
        report = json.loads(child.stdout)
        assert report["rows"] == rows
        growth[rows] = report["peak"] - report["idle"]

        expected = eval_models.onnxruntime_outputs(model, features=np.load(source))
        for name, values in expected.items():
            assert np.array_equal(np.load(folder / f"{name}.npy", mmap_mode="r"), values), name
        del expected
        assert set(loads_of(two_workers, model).values()) <= {0, 1}
    # One load per worker for every chunk of both jobs and the warm-ups: the
    # second job loaded nothing again.
    assert list(loads_of(two_workers, model).values()) == [1, 1]
    assert growth[2_000_000] < 50 * MiB, growth
    assert growth[2_000_000] - growth[200_000] < 16 * MiB, growth


def test_a_worker_killed_mid_job_costs_no_rows_and_no_job(two_workers, tmp_path):
    client = two_workers
    model = sample_copy(tmp_path)
    rows, chunk_rows = 120_000, 1_000
    source = write_rows(tmp_path / "features.npy", rows, seed=7)

    def slowly(block):  # a slow source, so that the job is still running at the kill
        import time

        time.sleep(0.02)
        return block

    features = from_npy(source, chunk_rows=chunk_rows).map_blocks(slowly, dtype=np.float32)
    outputs = score(model, {"features": features})
    paths = {name: str(tmp_path / f"{name}.npy") for name in outputs}
    pids = client.run(os.getpid)
    futures = client.compute(to_npy(outputs, paths))
    written, victim = 0, None
    for future in distributed.as_completed(futures):
        written += future.result()
        if victim is None and written >= rows // 5:
            busy = [address for address, keys in client.processing().items() if keys]
            victim = busy[0] if busy else next(iter(pids))
            os.kill(pids[victim], signal.SIGKILL)
    assert victim is not None and written == rows  # every chunk reported, once

    # Every row is in its place exactly once: each output holds `rows` rows,
    # each the model's output for the input row at the same index.
    expected = eval_models.onnxruntime_outputs(model, features=np.load(source))
    for name, values in expected.items():
        assert np.array_equal(np.load(paths[name]), values), name
    client.wait_for_workers(2, timeout=60)
    after = loads_of(client, model)
    assert pids[victim] not in client.run(os.getpid).values()
    assert set(after.values()) <= {0, 1} and sum(after.values()) >= 1


def test_inputs_of_any_rank_and_type_chunked_unlike_each_other(two_workers, tmp_path):
    model = eval_models.rows_of_three_inputs(tmp_path / "multi.onnx")
    rng = np.random.default_rng(3)
    a = rng.standard_normal((1001, 2, 3)).astype(np.float32)
    b = rng.integers(-50, 50, 1001)
    c = rng.standard_normal((1001, 5)).astype(np.float32)
    # b and c are chunked otherwise, and c along its second axis too: all
    # are scored in a's chunks.
    inputs = {"a": da.from_array(a, chunks=(97, 2, 3)), "b": da.from_array(b, chunks=300), "c": da.from_array(c, chunks=(50, 2))}
    outputs = score(model, inputs)
    assert {name: array.chunks[0] for name, array in outputs.items()} == {name: inputs["a"].chunks[0] for name in ("scaled", "ids", "c_out")}
    assert outputs["c_out"].shape == (1001, 5)  # the free width, learnt from the arrays
    chunks_before = chunks_scored(two_workers)
    paths = {name: str(tmp_path / f"{name}.npy") for name in outputs}
    two_workers.gather(two_workers.compute(to_npy(outputs, paths)))
    # Each chunk was scored once for its three outputs.
    assert chunks_scored(two_workers) - chunks_before == inputs["a"].numblocks[0]
    for name, values in eval_models.onnxruntime_outputs(model, a=a, b=b, c=c).items():
        assert np.array_equal(np.load(paths[name]), values), name


def test_dataframe_columns_and_series_line_up_with_arrays(two_workers, tmp_path):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    model = eval_models.rows_of_three_inputs(tmp_path / "multi.onnx")
    rng = np.random.default_rng(5)
    a = rng.standard_normal((1001, 2, 3)).astype(np.float32)
    b = rng.integers(-50, 50, 1001)
    c = rng.standard_normal((1001, 5)).astype(np.float32)
    # Partitions of their own, unlike a's chunks; c's columns are the model's
    # free width, b is a Series.
    frame = dd.from_pandas(pd.DataFrame(c, columns=list("vwxyz")), npartitions=3)
    series = dd.from_pandas(pd.Series(b, name="b"), npartitions=7)
    outputs = score(model, {"a": da.from_array(a, chunks=(250, 2, 3)), "b": series, "c": frame})
    assert outputs["c_out"].shape == (1001, 5) and outputs["ids"].chunks[0] == (250, 250, 250, 250, 1)
    computed = dict(zip(outputs, two_workers.gather(two_workers.compute(list(outputs.values())))))
    for name, values in eval_models.onnxruntime_outputs(model, a=a, b=b, c=c).items():
        assert np.array_equal(computed[name], values), name
    # Columns of several types make an object array, which no input takes.
    mixed = dd.from_pandas(pd.DataFrame({"v": c[:, 0], "w": b}).astype({"w": object}), npartitions=2)
    with pytest.raises(TypeError, match="input 'c' takes float32, the array is object"):
        score(model, {"a": da.from_array(a), "b": series, "c": mixed})


@pytest.mark.parametrize(
    "inputs, message",
    [
        ({"features": np.zeros((4, 4), np.float32)}, "expected a dask array"),
        ({"features": da.zeros((4, 4), dtype=np.float64)}, "takes float32, the array is float64"),
        ({"features": da.zeros((4, 5), dtype=np.float32)}, "axis 1 has 4 elements in the model, 5 in the array"),
        ({"features": da.zeros((4,), dtype=np.float32)}, "takes 2 axes"),
        ({"features": da.zeros((4, 4), dtype=np.float32), "extra": da.zeros(4)}, "has no input 'extra'"),
        ({}, "no array for the model's input 'features'"),
    ],
)
def test_arrays_the_model_cannot_take_are_refused_before_any_work(inputs, message):
    with pytest.raises((TypeError, ValueError), match=message):
        score(SAMPLE_MODEL_PATH, inputs)


def test_npy_rows_are_read_and_written_in_place_whatever_the_layout(tmp_path):
    data = np.asfortranarray(np.arange(7 * 2 * 3, dtype=np.int16).reshape(7, 2, 3))
    np.save(tmp_path / "fortran.npy", data)
    read = from_npy(str(tmp_path / "fortran.npy"), chunk_rows=3)
    assert read.chunks[0] == (3, 3, 1) and np.array_equal(read.compute(scheduler="sync"), data)
    # Written chunk by chunk, in any order, twice over: the same file.
    writes = to_npy({"x": read}, {"x": str(tmp_path / "copy.npy")})
    for write in reversed(writes + writes):
        write.compute(scheduler="sync")
    assert np.array_equal(np.load(tmp_path / "copy.npy"), data)
