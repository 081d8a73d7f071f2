"""Scoring dask arrays with a qelmo model, on a dask.distributed cluster or
any other dask scheduler.

    import dask
    from qelmo_cli.dask import from_npy, score, to_npy

    features = from_npy("features.npy", chunk_rows=50_000)     # read by the workers
    outputs = score("model.onnx", {"features": features})        # lazy: name -> dask array
    dask.compute(*to_npy(outputs, {"probabilities": "probabilities.npy"}))

Rows are the first axis of every input and output. Each task scores one
chunk of rows: it reads the chunk from its source, evaluates it on the
worker's own session and hands the outputs on, to storage or to the caller.
A worker process loads each model file once and makes one session per
thread, for every chunk and every job it runs (see worker_sessions). The
client reads the model once too, to plan the outputs; it never holds the
data, and nothing is scattered: a task lost with its worker is run again
from its source.
"""

# mypy: disable-error-code="no-untyped-call"
# (dask's API carries no annotations.)
import functools
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

# From the modules that define them: older dask releases re-export them
# from dask.array without saying so, which strict type checkers refuse.
from dask.array.blockwise import blockwise
from dask.array.core import Array as DaskArray
from dask.array.core import from_array
import numpy as np
import qelmo
from dask.base import tokenize
from dask.delayed import Delayed, delayed

from qelmo_cli.npy_rows import NpyRowsReader, create_npy, read_layout
from qelmo_cli.output_files import safe_stem
from qelmo_cli.tensor_files import Array
from qelmo_cli.worker_sessions import ModelFile, process_sessions

__all__ = ["score", "from_npy", "to_npy", "write_rows", "worker_cache_info", "local_client"]

DEVICES = ("cpu", "gpu")
# Element types qelmo returns, as the numpy dtype it returns them in.
_OUTPUT_DTYPES = {name: np.dtype(name) for name in ("float32", "float64", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64")}
_OUTPUT_DTYPES["float16"] = np.dtype("float32")


@dataclass(frozen=True)
class OutputPlan:
    name: str
    dtype: "np.dtype[Any]"
    trailing: Tuple[int, ...]  # the shape of one row


@dataclass(frozen=True)
class _Job:
    """What every task of one scoring needs, besides its chunks."""

    model_path: str
    device: str
    input_names: Tuple[str, ...]
    outputs: Tuple[OutputPlan, ...]


def score(
    model_path: str,
    inputs: Mapping[str, Any],
    device: str = "cpu",
    outputs: Optional[Sequence[str]] = None,
) -> Dict[str, DaskArray]:
    """The model's outputs for every row of `inputs`, as lazy dask arrays.

    `inputs` maps each of the model's inputs to a dask array whose first axis
    is the rows (or a dask DataFrame or Series, whose columns make the second
    axis). Every input has the same number of rows; the outputs are chunked
    along the rows like the first input. `device` is "cpu" or "gpu" (the GPU
    of each worker; see the README on one worker per GPU). `outputs` picks
    outputs by name (default: every tensor output qelmo returns).

    Every worker must read the model at `model_path`, and so must this
    process, which reads its inputs and outputs to check the arrays."""
    if device not in DEVICES:
        raise ValueError(f"device must be one of {', '.join(DEVICES)}, not {device!r}")
    arrays = {name: _as_dask_array(name, value) for name, value in inputs.items()}
    model = process_sessions().model(model_path)
    arrays = _checked_inputs(model, arrays)
    plans = _plan_outputs(model_path, model, arrays, outputs)
    names = tuple(arrays)
    job = _Job(ModelFile.at(model_path).path, device, names, tuple(plans))
    token = tokenize(ModelFile.at(model_path), job, *(arrays[name].name for name in names))

    rows = arrays[names[0]].chunks[0]
    pairs: List[Any] = []
    for number, name in enumerate(names):
        array = arrays[name]
        pairs += [array, ("rows",) + tuple(f"input{number}.axis{axis}" for axis in range(1, array.ndim))]
    # One task per chunk evaluates it; its outputs go on to one small task
    # per output. The other axes of each input are one chunk, handed over
    # as nested lists of one block rather than copied by concatenation.
    scored = blockwise(
        functools.partial(_score_chunk, job),
        ("rows",),
        *pairs,
        concatenate=False,
        align_arrays=False,
        dtype=object,
        meta=np.empty((0,), dtype=object),
        name=f"qelmo-score-{token}",
    )
    results = {}
    for plan in plans:
        results[plan.name] = scored.map_blocks(
            functools.partial(_pick, plan.name),
            chunks=(rows, *((size,) for size in plan.trailing)),
            new_axis=list(range(1, 1 + len(plan.trailing))) or None,
            dtype=plan.dtype,
            meta=np.empty((0,) * (1 + len(plan.trailing)), dtype=plan.dtype),
            name=f"qelmo-{safe_stem(plan.name)}-{token}",
        )
    return results


def _as_dask_array(name: str, value: Any) -> DaskArray:
    if isinstance(value, DaskArray):
        array = value
    elif hasattr(value, "to_dask_array"):
        # A DataFrame or Series: its partitions' lengths are counted (by the
        # workers) so that rows line up with the other inputs.
        array = value.to_dask_array(lengths=True)
    else:
        raise TypeError(
            f"input {name!r}: expected a dask array, DataFrame or Series, not {type(value).__name__}; "
            "read data from storage (from_npy, dask.array.from_zarr) rather than from this process's memory"
        )
    if any(size != size for size in array.shape):
        raise ValueError(f"input {name!r}: its chunk sizes are unknown; call compute_chunk_sizes() on it first")
    return array


def _checked_inputs(model: qelmo.QelmoModel, arrays: Dict[str, DaskArray]) -> Dict[str, DaskArray]:
    """The arrays in the model's input order, rechunked to the first one's
    rows and to one chunk along every other axis; clear errors for arrays
    the model cannot take."""
    details = {name: (shape, element_type) for name, shape, element_type in model.get_input_details()}
    if not details:
        raise ValueError("the model has no tensor inputs: there are no rows to score")
    missing = [name for name in details if name not in arrays]
    unknown = [name for name in arrays if name not in details]
    if unknown:
        raise ValueError(f"the model has no input {', '.join(map(repr, unknown))}; its inputs: {', '.join(details)}")
    if missing:
        raise ValueError(f"no array for the model's input {', '.join(map(repr, missing))}")
    ordered = {name: arrays[name] for name in details}
    first = next(iter(ordered))
    rows = ordered[first].shape[0] if ordered[first].ndim else 0
    checked = {}
    for name, array in ordered.items():
        shape, element_type = details[name]
        if array.ndim == 0 or len(shape) == 0:
            raise ValueError(f"input {name!r} is a single value, with no rows to score")
        if array.ndim != len(shape):
            raise ValueError(f"input {name!r} takes {len(shape)} axes {shape}, the array has {array.ndim} {list(array.shape)}")
        for axis in range(1, len(shape)):
            if shape[axis] >= 0 and shape[axis] != array.shape[axis]:
                raise ValueError(f"input {name!r}: axis {axis} has {shape[axis]} elements in the model, {array.shape[axis]} in the array")
        accepted = ("float32", "float16") if element_type == "float16" else (element_type,)
        if array.dtype.name not in accepted:
            raise TypeError(f"input {name!r} takes {element_type}, the array is {array.dtype}: convert it with .astype({accepted[0]!r})")
        if array.shape[0] != rows:
            raise ValueError(f"input {name!r} has {array.shape[0]} rows, {first!r} has {rows}")
        array = array.rechunk((ordered[first].chunks[0],) + tuple((size,) for size in array.shape[1:]))
        if shape[0] >= 0 and any(size not in (0, shape[0]) for size in array.chunks[0]):
            raise ValueError(f"input {name!r} takes {shape[0]} rows at a time: chunk its rows by {shape[0]}")
        checked[name] = array
    return checked


def _plan_outputs(path: str, model: qelmo.QelmoModel, arrays: Dict[str, DaskArray], wanted: Optional[Sequence[str]]) -> List[OutputPlan]:
    details = {name: (shape, element_type) for name, shape, element_type in model.get_output_details()}
    if wanted is not None:
        unknown = [name for name in wanted if name not in details]
        if unknown:
            raise ValueError(f"the model has no tensor output {', '.join(map(repr, unknown))}; its tensor outputs: {', '.join(details)}")
        details = {name: details[name] for name in dict.fromkeys(wanted)}
    plans, free = [], False
    for name, (shape, element_type) in details.items():
        if element_type not in _OUTPUT_DTYPES:
            if wanted is not None:
                raise ValueError(f"output {name!r}: qelmo does not return {element_type} tensors")
            continue
        if len(shape) == 0:
            raise ValueError(f"output {name!r} is a single value, not one per row: leave it out with outputs=[...]")
        free = free or any(size < 0 for size in shape[1:])
        plans.append(OutputPlan(name, _OUTPUT_DTYPES[element_type], tuple(shape[1:])))
    if not plans:
        raise ValueError("the model has no output qelmo can return")
    if free:
        plans = _probe_shapes(path, arrays, plans)
    return plans


def _probe_shapes(path: str, arrays: Dict[str, DaskArray], plans: List[OutputPlan]) -> List[OutputPlan]:
    """Output shapes the model leaves free, learnt by evaluating one row of
    zeros in this process (once per model file: the session is kept)."""
    session = process_sessions().session(path, "cpu")
    try:
        for name, array in arrays.items():
            rows = array.chunks[0][0] or 1
            dtype = np.float32 if array.dtype == np.float16 else array.dtype
            session.set_input(name, qelmo.QelmoValue(np.zeros((rows, *array.shape[1:]), dtype)))
        got = {name: value.to_numpy().shape[1:] for name, value in session.evaluate().items()}
    finally:
        session.clear_input()
    return [OutputPlan(plan.name, plan.dtype, tuple(got.get(plan.name, plan.trailing))) for plan in plans]


def _only_block(part: Any) -> Array:
    while isinstance(part, list):
        (part,) = part
    block: Array = part
    return block


def _score_chunk(job: _Job, *parts: Any) -> Dict[str, Array]:
    """The outputs of one chunk of rows, checked against the plan."""
    blocks = [_only_block(part) for part in parts]
    rows = blocks[0].shape[0]
    if rows == 0:
        return {plan.name: np.empty((0, *plan.trailing), plan.dtype) for plan in job.outputs}
    session = process_sessions().session(job.model_path, job.device)
    try:
        for name, block in zip(job.input_names, blocks):
            session.set_input(name, qelmo.QelmoValue(block.astype(np.float32) if block.dtype == np.float16 else block))
        values = session.evaluate()
    finally:
        # Staged arrays are held by reference: let this chunk's go.
        session.clear_input()
    results = {}
    for plan in job.outputs:
        if plan.name not in values:
            raise RuntimeError(f"the model returned no output {plan.name!r}")
        array = values[plan.name].to_numpy()
        expected = (rows, *plan.trailing)
        if array.shape != expected or array.dtype != plan.dtype:
            raise ValueError(
                f"output {plan.name!r} is {array.dtype} {list(array.shape)} for {rows} rows, where {plan.dtype} {list(expected)} "
                "was planned: scoring needs outputs with one row per input row, of the same shape for every chunk"
            )
        results[plan.name] = array
    process_sessions().count_chunk(rows)
    return results


def _pick(name: str, outputs: Dict[str, Array]) -> Array:
    return outputs[name]


def from_npy(path: str, chunk_rows: Optional[int] = None) -> DaskArray:
    """The array in a .npy file, as a dask array of `chunk_rows` rows a chunk
    (default: about 64 MiB) whose tasks read their rows from the file by
    memory map. Workers must see the file at the same path."""
    layout = read_layout(path)
    if chunk_rows is None:
        chunk_rows = max(1, (64 << 20) // max(1, layout.row_bytes))
    if chunk_rows < 1:
        raise ValueError("chunk_rows must be 1 or more")
    reader = NpyRowsReader(layout)
    # The path, size and time tell versions of the file apart.
    version = ModelFile.at(path)
    array: DaskArray = from_array(
        reader,
        chunks=(chunk_rows, *layout.shape[1:]),
        name=f"npy-{tokenize(version, layout, chunk_rows)}",
        meta=np.empty((0,) * layout.ndim, dtype=layout.dtype),
        asarray=False,
        fancy=False,
        inline_array=True,
    )
    return array


def write_rows(arrays: Mapping[str, DaskArray], targets: Mapping[str, Any]) -> List[Delayed]:
    """One task per chunk of rows, which writes that chunk's rows of every
    array into its target (`target[start:stop] = rows`: a .npy file from
    create_npy, a zarr array, a numpy memmap in one process) and returns
    the number of rows. The arrays are rechunked to the first one's rows;
    a zarr target must be chunked along its rows as that array is, so that
    no two tasks write one zarr chunk. Compute the list (dask.compute, or
    client.compute for futures to follow)."""
    names = list(arrays)
    if not names:
        return []
    if set(names) != set(targets):
        raise ValueError("write_rows needs one target per array")
    rows = arrays[names[0]].chunks[0]
    aligned = [arrays[name].rechunk((rows,) + tuple((size,) for size in arrays[name].shape[1:])) for name in names]
    # Not optimised: fusing would copy the scoring into each output's own
    # tasks, and every chunk would be scored once per output.
    blocks = [array.to_delayed(optimize_graph=False).reshape(len(rows)) for array in aligned]
    # Writes are side effects: each call makes tasks of its own.
    write = delayed(_write_chunk, pure=False)
    chunk_targets = tuple(targets[name] for name in names)
    writes, start = [], 0
    for index, count in enumerate(rows):
        writes.append(write(chunk_targets, start, *(column[index] for column in blocks)))
        start += count
    return writes


def _write_chunk(targets: Tuple[Any, ...], start: int, *blocks: Array) -> int:
    for target, block in zip(targets, blocks):
        target[start : start + len(block)] = block
    return len(blocks[0])


def to_npy(arrays: Mapping[str, DaskArray], paths: Mapping[str, str]) -> List[Delayed]:
    """Makes a .npy file for each array at its path (the full size, replacing
    any file there) and returns write_rows' tasks, which fill it in place."""
    targets = {}
    for name, array in arrays.items():
        targets[name] = create_npy(paths[name], array.shape, array.dtype)
    return write_rows(arrays, targets)


def local_client(workers: Optional[int] = None, device: str = "cpu", **cluster_options: Any) -> Any:
    """A distributed.Client of a new LocalCluster whose worker processes have
    one thread and their own share of the CPUs (or one GPU) each; closing
    the client stops the cluster. See worker_placement."""
    from qelmo_cli.worker_placement import local_client as start

    return start(workers, device, **cluster_options)


def worker_cache_info() -> Dict[str, object]:
    """This process's models and sessions: {"pid", "models_loaded",
    "sessions_made", "chunks_scored", "rows_scored", "models": [{"path",
    "loads", ...}]}. On a cluster: client.run(worker_cache_info)."""
    return process_sessions().info()

