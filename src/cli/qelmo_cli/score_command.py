"""`qelmo score`: a model's outputs for every row of arrays too big for
memory, scored chunk by chunk by Dask workers (local processes, or a
cluster's) that read their rows from the input files and write their
outputs straight into the output files.

Outputs are written under a .partial name and renamed when every chunk is
in: a finished file is complete, and a job that fails or is stopped leaves
no output behind. A chunk whose worker dies is scored again by another
worker and written again at the same rows, with the same bytes."""

# mypy: disable-error-code="no-untyped-call"
# (dask's and distributed's APIs carry no annotations.)
import argparse
import importlib
import math
import os
import shutil
import sys
import time
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Set, TextIO, Tuple

import qelmo

from qelmo_cli.errors import InputError, WorkerFailed
from qelmo_cli.npy_rows import create_npy, read_layout
from qelmo_cli.output_files import file_name_for, prepare_output_dir
from qelmo_cli.tensor_files import NPY_MAGIC

try:
    from dask.array.core import Array as DaskArray
    from dask.array.core import from_zarr
    from distributed import Client, as_completed
    from distributed.client import FutureCancelledError

    from qelmo_cli import dask as qelmo_dask
    from qelmo_cli.worker_placement import local_client
except ImportError as missing:  # pragma: no cover - the dask extra is in the test extra
    raise InputError(f"qelmo score needs dask: pip install 'qelmo[dask]' ({missing})") from None

# Input per chunk at most, and chunks per worker at least (for balance).
CHUNK_BYTES = 64 << 20
CHUNKS_PER_WORKER = 8
MIN_CHUNK_ROWS = 1024
# How long a stopped job waits for its tasks still running on a cluster, so
# that none writes after the partial outputs are removed.
STOP_WAIT_SECONDS = 30


@dataclass
class InputFile:
    name: str
    path: str
    kind: str  # "npy" or "zarr"


def score_files(arguments: argparse.Namespace, out: TextIO) -> int:
    model = qelmo.QelmoModel(arguments.model)
    inputs = resolve_inputs(arguments.inputs, [name for name, _, _ in model.get_input_details()])
    if arguments.format == "zarr":
        _require_zarr()
    prepare_output_dir(arguments.output, "--output")

    started = time.perf_counter()
    client = _connect(arguments)
    outputs: Optional[PartialOutputs] = None
    try:
        with client:
            workers = len(client.scheduler_info()["workers"])
            arrays = read_inputs(inputs, arguments.chunk_rows, workers)
            try:
                scored = qelmo_dask.score(os.path.abspath(arguments.model), arrays, arguments.device, arguments.only)
            except (ValueError, TypeError) as error:
                raise InputError(str(error)) from None
            outputs = PartialOutputs.create(arguments.output, arguments.format, scored)
            rows = next(iter(scored.values())).shape[0]
            chunks = _run(client, qelmo_dask.write_rows(scored, outputs.targets), rows, local=arguments.scheduler is None)
            devices = _devices_used(client, arguments.device)
    except BaseException:
        # The client is closed (a local cluster with it): nothing writes now.
        if outputs is not None:
            outputs.discard()
        raise
    outputs.commit()
    took = time.perf_counter() - started
    print(f"scored {rows:,} rows in {chunks} chunks on {workers} worker{'s' * (workers != 1)} in {took:.2f} s ({rows / took:,.0f} rows/s)", file=out)
    if devices:
        print(f"device: {devices}", file=out)
    width = max(len(name) for name in outputs.paths)
    for name, path in outputs.paths.items():
        array = scored[name]
        print(f"{name:<{width}}  {array.dtype} {list(array.shape)}  {path}", file=out)
    return 0


def resolve_inputs(texts: Sequence[str], model_inputs: List[str]) -> List[InputFile]:
    """INPUT arguments ([NAME=]PATH) matched to the model's inputs."""
    found: Dict[str, InputFile] = {}
    for text in texts:
        name, separator, path = text.partition("=")
        if not separator or name not in model_inputs:
            name, path = _input_name_for(text, model_inputs, len(texts)), text
        if name in found:
            raise InputError(f"input {name!r} is given twice: {found[name].path} and {path}")
        found[name] = InputFile(name, os.path.abspath(path), input_kind(path))
    missing = [name for name in model_inputs if name not in found]
    if missing:
        raise InputError(f"no INPUT for the model's input {', '.join(map(repr, missing))}")
    return [found[name] for name in model_inputs]


def _input_name_for(path: str, model_inputs: List[str], given: int) -> str:
    if len(model_inputs) == 1 and given == 1:
        return model_inputs[0]
    stem = os.path.basename(os.path.normpath(path))
    for suffix in (".npy", ".zarr"):
        if stem.endswith(suffix):
            stem = stem[: -len(suffix)]
    if stem in model_inputs:
        return stem
    raise InputError(f"{path}: say which input it is, as NAME={path}; the model's inputs: {', '.join(model_inputs)}")


def input_kind(path: str) -> str:
    if os.path.isdir(path):
        if os.path.exists(os.path.join(path, ".zarray")) or os.path.exists(os.path.join(path, "zarr.json")):
            _require_zarr()
            return "zarr"
        raise InputError(f"{path} is a folder but not a zarr array")
    try:
        with open(path, "rb") as stream:
            head = stream.read(len(NPY_MAGIC))
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror or error}") from None
    if head != NPY_MAGIC:
        raise InputError(f"{path} is not a .npy file or a zarr array (.npz and .pb files cannot be read by rows: save each array with numpy.save)")
    return "npy"


def _zarr() -> Any:
    """The zarr package, which not every release types."""
    try:
        return importlib.import_module("zarr")
    except ImportError:
        raise InputError("zarr arrays need the zarr package: pip install zarr") from None


def _require_zarr() -> None:
    _zarr()


def read_inputs(inputs: List[InputFile], chunk_rows: Optional[int], workers: int) -> Dict[str, DaskArray]:
    """Dask arrays whose tasks read their rows from the files."""
    layouts = {item.name: _stored_layout(item) for item in inputs}
    if chunk_rows is None:
        shape, _, stored = layouts[inputs[0].name]
        row_bytes = sum(int(math.prod(shape[1:])) * dtype.itemsize for (shape, dtype, _) in layouts.values())
        fits = max(1, CHUNK_BYTES // max(1, row_bytes))
        chunk_rows = max(1, min(fits, max(MIN_CHUNK_ROWS, math.ceil(shape[0] / (CHUNKS_PER_WORKER * max(1, workers))))))
        if stored > 1:
            chunk_rows = max(stored, chunk_rows // stored * stored)  # whole stored chunks
    arrays = {}
    for item in inputs:
        if item.kind == "npy":
            arrays[item.name] = qelmo_dask.from_npy(item.path, chunk_rows)
        else:
            shape = layouts[item.name][0]
            arrays[item.name] = from_zarr(item.path, chunks=(chunk_rows, *shape[1:]))
    return arrays


def _stored_layout(item: InputFile) -> Tuple[Tuple[int, ...], Any, int]:
    """Shape, dtype and rows per stored chunk (1 for .npy files)."""
    if item.kind == "npy":
        layout = read_layout(item.path)
        return layout.shape, layout.dtype, 1
    zarr = _zarr()
    try:
        stored = zarr.open_array(store=item.path, mode="r")
    except Exception as error:  # noqa: BLE001 - zarr's errors vary by release
        raise InputError(f"cannot read {item.path} as a zarr array: {error}") from None
    if len(stored.shape) == 0:
        raise InputError(f"{item.path} holds a single value, not rows")
    return tuple(stored.shape), stored.dtype, int(stored.chunks[0])


class PartialOutputs:
    """The output files, under .partial names until the job is done."""

    def __init__(self, paths: Dict[str, str], targets: Dict[str, Any]) -> None:
        self.paths = paths
        self.targets = targets

    @classmethod
    def create(cls, folder: str, kind: str, arrays: Dict[str, DaskArray]) -> "PartialOutputs":
        taken: Set[str] = set()
        paths, made = {}, cls({}, {})
        try:
            for name, array in arrays.items():
                final = os.path.join(os.path.abspath(folder), file_name_for(name, taken))
                if kind == "zarr":
                    final = final[: -len(".npy")] + ".zarr"
                paths[name] = final
                made.paths[name] = final
                made.targets[name] = _make_target(final + ".partial", kind, array)
        except BaseException:
            made.discard()
            raise
        return made

    def commit(self) -> None:
        for path in self.paths.values():
            _remove(path)
            os.rename(path + ".partial", path)

    def discard(self) -> None:
        for path in self.paths.values():
            _remove(path + ".partial")


def _make_target(path: str, kind: str, array: DaskArray) -> Any:
    if kind == "npy":
        return create_npy(path, array.shape, array.dtype)
    zarr = _zarr()
    _remove(path)
    # One zarr chunk per chunk of rows, so that no two tasks write one chunk.
    return zarr.open_array(store=path, mode="w", shape=array.shape, chunks=(max(1, array.chunks[0][0]), *array.shape[1:]), dtype=array.dtype)


def _remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.remove(path)


def _connect(arguments: argparse.Namespace) -> Client:
    if arguments.scheduler is None:
        return local_client(arguments.workers, arguments.device)
    try:
        return Client(arguments.scheduler, timeout=30)
    except (OSError, TimeoutError) as error:
        raise InputError(f"--scheduler {arguments.scheduler}: cannot connect: {error}") from None


def _run(client: Client, writes: List[Any], rows: int, local: bool) -> int:
    """Runs the writes with a progress bar of rows; the number of chunks."""
    from tqdm import tqdm  # type: ignore[import-untyped]

    futures = client.compute(writes)
    try:
        with tqdm(total=rows, unit=" rows", unit_scale=True, disable=None, file=sys.stderr, desc="scoring") as bar:
            for future in as_completed(futures):
                bar.update(future.result())
    except BaseException as error:
        if not local:
            _stop(client, futures)
        if type(error).__name__ == "KilledWorker":
            raise WorkerFailed("a chunk's workers died every time it was tried: the job is stopped", [str(error)]) from None
        if isinstance(error, FutureCancelledError):
            raise WorkerFailed("the job was cancelled on the cluster", [str(error)]) from None
        raise
    return len(futures)


def _stop(client: Client, futures: List[Any]) -> None:
    """Cancels the job's tasks on a cluster and waits (a while) for those
    still running, so that none writes after the outputs are removed."""
    keys = {future.key for future in futures}
    try:
        client.cancel(futures)
        deadline = time.monotonic() + STOP_WAIT_SECONDS
        while time.monotonic() < deadline:
            if not any(keys.intersection(running) for running in client.processing().values()):
                return
            time.sleep(0.2)
    except Exception:  # noqa: BLE001 - the scheduler may be gone: nothing runs for us then
        return


def _devices_used(client: Client, requested: str) -> str:
    """With --device gpu, where each worker's sessions ran."""
    if requested == "cpu":
        return ""
    seen: List[Tuple[str, str]] = []
    for address, info in client.run(qelmo_dask.worker_cache_info).items():
        for model in info["models"]:
            used = model["devices_used"].get(requested)
            if used:
                seen.append((address, used))
    used = sorted({used for _, used in seen})
    return f"gpu requested; ran on {' and '.join(used) or 'no worker'} ({len(seen)} worker{'s' * (len(seen) != 1)})"
