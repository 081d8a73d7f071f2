"""`qelmo score`: locally and on a running scheduler, from .npy files and
zarr arrays to .npy files and zarr arrays, exactly as onnxruntime scores;
refusals with clear errors that leave no file behind."""

import os

import eval_models
import numpy as np
import pytest
from cli_support import run_cli

pytest.importorskip("dask")
pytest.importorskip("distributed")

ROWS = 1001


def three_inputs(tmp_path, form):
    """The three inputs of eval_models.rows_of_three_inputs, saved in `form`."""
    rng = np.random.default_rng(11)
    arrays = {
        "a": rng.standard_normal((ROWS, 2, 3)).astype(np.float32),
        "b": rng.integers(-9, 9, ROWS),
        "c": rng.standard_normal((ROWS, 5)).astype(np.float32),
    }
    paths = {}
    for name, array in arrays.items():
        if form == "zarr":
            zarr = pytest.importorskip("zarr")
            stored = zarr.open_array(store=str(tmp_path / f"{name}.zarr"), mode="w", shape=array.shape, chunks=(64, *array.shape[1:]), dtype=array.dtype)
            stored[:] = array
            paths[name] = str(tmp_path / f"{name}.zarr")
        else:
            paths[name] = str(tmp_path / f"{name}.npy")
            np.save(paths[name], array)
    return arrays, paths


def read_output(path):
    if path.endswith(".zarr"):
        import zarr

        return zarr.open_array(store=path, mode="r")[:]
    return np.load(path)


@pytest.mark.parametrize("where, form", [("local", "npy"), ("scheduler", "zarr")])
def test_every_output_is_written_exactly(where, form, two_workers, capsys, tmp_path):
    model = eval_models.rows_of_three_inputs(tmp_path / "model.onnx")
    arrays, paths = three_inputs(tmp_path, form)
    where_options = ["--workers", 2] if where == "local" else ["--scheduler", two_workers.scheduler.address]
    out_dir = tmp_path / "scores"
    # a by NAME=PATH, b by its file's name, c by NAME=PATH again.
    code, out, err = run_cli(
        capsys, "score", model, f"a={paths['a']}", paths["b"], f"c={paths['c']}", "--output", out_dir, "--format", form, "--chunk-rows", 100, *where_options
    )
    assert code == 0, err
    lines = out.splitlines()
    assert lines[0].startswith(f"scored {ROWS:,} rows in 11 chunks on 2 workers in ")
    expected = eval_models.onnxruntime_outputs(model, **arrays)
    written = {line.split()[0]: line.split()[-1] for line in lines[1:]}
    assert written == {name: str(out_dir / f"{name}.{form}") for name in expected}
    for name, values in expected.items():
        assert np.array_equal(read_output(written[name]), values), name
    assert sorted(os.listdir(out_dir)) == sorted(f"{name}.{form}" for name in expected)  # nothing .partial


def test_refusals_are_clear_and_leave_nothing_behind(two_workers, capsys, tmp_path):
    model = eval_models.rows_of_three_inputs(tmp_path / "model.onnx")
    arrays, paths = three_inputs(tmp_path, "npy")
    np.savez(tmp_path / "a.npz", a=arrays["a"])
    np.save(tmp_path / "a64.npy", arrays["a"].astype(np.float64))
    np.save(tmp_path / "short.npy", arrays["b"][:10])
    (tmp_path / "taken").write_text("")
    sums = eval_models.sums_columns(tmp_path / "sums.onnx")
    np.save(tmp_path / "x.npy", np.ones((1000, 4), np.float32))  # whole chunks: any may fail first
    scheduler = ["--scheduler", two_workers.scheduler.address]
    rest = [f"b={paths['b']}", f"c={paths['c']}"]
    cases = [
        ([model, f"a={tmp_path / 'a.npz'}", *rest], "a.npz is not a .npy file or a zarr array"),
        ([model, paths["c"], tmp_path / "a64.npy", paths["b"]], "a64.npy: say which input it is, as NAME="),
        ([model, f"a={tmp_path / 'a64.npy'}", *rest], "input 'a' takes float32, the array is float64"),
        ([model, f"a={paths['a']}", f"b={tmp_path / 'short.npy'}", f"c={paths['c']}"], "input 'b' has 10 rows, 'a' has 1001"),
        ([model, f"a={paths['a']}", f"a={paths['a']}", *rest], "input 'a' is given twice"),
        # Refused by the workers, mid-job: the outputs begun are removed.
        ([sums, tmp_path / "x.npy"], "output 'y' is float32 [4] for 100 rows, where float32 [100] was planned"),
    ]
    for number, (arguments, message) in enumerate(cases):
        out_dir = tmp_path / f"out{number}"
        code, out, err = run_cli(capsys, "score", *arguments, "--output", out_dir, "--chunk-rows", 100, *scheduler)
        assert code == 1 and message in err, (arguments, err)
        assert not out_dir.exists() or os.listdir(out_dir) == [], arguments
    code, _, err = run_cli(capsys, "score", model, *paths.values(), "--output", tmp_path / "taken", *scheduler)
    assert code == 1 and "--output " in err and "a file of that name exists" in err
