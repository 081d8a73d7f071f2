"""Rows of .npy files read and written in place, by whichever process holds
the object: the objects carry the file's path and layout, never its data,
so they travel to other processes (and machines that see the same path) as
a few bytes.

Reading maps the file and copies the rows asked for. Writing puts a run of
rows at its own place in the file with pwrite, so writers of different rows
never touch each other's bytes, and writing the same rows again leaves the
same bytes: a chunk scored twice (its worker died before reporting it)
cannot leave a row twice or half written."""

import os
from dataclasses import dataclass
from typing import Any, Tuple

import numpy as np

from qelmo_cli.errors import InputError
from qelmo_cli.tensor_files import NPY_MAGIC, Array, object_array_message

# numpy's .npy header functions, which older numpy releases do not type.
_npy_format: Any = np.lib.format


@dataclass(frozen=True)
class NpyLayout:
    path: str
    shape: Tuple[int, ...]
    dtype: "np.dtype[Any]"
    offset: int  # where the elements start
    fortran_order: bool

    @property
    def ndim(self) -> int:
        return len(self.shape)

    @property
    def row_bytes(self) -> int:
        return int(np.prod(self.shape[1:], dtype=np.int64)) * self.dtype.itemsize


def read_layout(path: str) -> NpyLayout:
    """The layout of the .npy file at `path`, from its header; a clear
    InputError for anything that cannot be read by rows."""
    try:
        with open(path, "rb") as stream:
            if stream.read(len(NPY_MAGIC)) != NPY_MAGIC:
                raise InputError(f"{path} is not a .npy file")
            stream.seek(0)
            version = _npy_format.read_magic(stream)
            if version == (1, 0):
                shape, fortran_order, dtype = _npy_format.read_array_header_1_0(stream)
            elif version == (2, 0):
                shape, fortran_order, dtype = _npy_format.read_array_header_2_0(stream)
            else:
                raise InputError(f"{path}: .npy format {version[0]}.{version[1]} is not read by rows; save it with numpy.save")
            offset = stream.tell()
            size = os.fstat(stream.fileno()).st_size
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror or error}") from None
    except ValueError as error:
        raise InputError(f"cannot read {path} as .npy: {error}") from None
    if dtype.hasobject:
        raise InputError(object_array_message(path, "the array"))
    if len(shape) == 0:
        raise InputError(f"{path} holds a single value, not rows")
    layout = NpyLayout(os.path.abspath(path), tuple(shape), dtype, offset, fortran_order)
    needed = offset + layout.row_bytes * shape[0]
    if size < needed:
        raise InputError(f"{path} is cut short: its header promises {needed} bytes, the file has {size}")
    return layout


def _row_range(index: Any, layout: NpyLayout) -> Tuple[int, int]:
    """The rows of an index that takes whole rows: (slice, full slices...)."""
    index = index if isinstance(index, tuple) else (index,)
    if not index or not isinstance(index[0], slice):
        raise IndexError(f"{layout.path}: rows are taken by a slice of the first axis")
    start, stop, step = index[0].indices(layout.shape[0])
    whole = all(isinstance(part, slice) and part.indices(size) == (0, size, 1) for part, size in zip(index[1:], layout.shape[1:]))
    if step != 1 or not whole:
        raise IndexError(f"{layout.path}: only runs of whole rows are read and written")
    return start, max(start, stop)


class _NpyRows:
    """What dask asks of an array-like: shape, dtype and ndim, from the layout."""

    def __init__(self, layout: NpyLayout) -> None:
        self.layout = layout
        self.shape = layout.shape
        self.dtype = layout.dtype
        self.ndim = layout.ndim


class NpyRowsReader(_NpyRows):
    """A .npy file's rows, read by memory map in the process that asks."""

    def __getitem__(self, index: Any) -> Array:
        if not isinstance(index, tuple) or len(index) != self.ndim or not all(isinstance(part, slice) for part in index):
            raise IndexError(f"{self.layout.path}: index by one slice per axis")
        start, stop = _row_range(index[:1] + (slice(None),) * (self.ndim - 1), self.layout)
        if stop == start or self.layout.row_bytes == 0:
            return np.empty((stop - start, *self.shape[1:]), self.dtype)[(slice(None),) + index[1:]]
        mapped = np.load(self.layout.path, mmap_mode="r", allow_pickle=False)
        if mapped.shape != self.shape or mapped.dtype != self.dtype:
            raise InputError(f"{self.layout.path} changed while it was being read: now {mapped.dtype} {list(mapped.shape)}")
        # A copy, so that the map is released with this call.
        rows: Array = np.array(mapped[index], order="C")
        return rows


class NpyRowsWriter(_NpyRows):
    """Writes runs of whole rows into a .npy file made by `create_npy`."""

    def __setitem__(self, index: Any, rows: Array) -> None:
        start, stop = _row_range(index, self.layout)
        expected = (stop - start, *self.shape[1:])
        if rows.shape != expected or rows.dtype != self.dtype:
            raise ValueError(f"{self.layout.path}: rows {start}:{stop} take {self.dtype} {list(expected)}, not {rows.dtype} {list(rows.shape)}")
        data = np.ascontiguousarray(rows).reshape(-1).view(np.uint8).data
        if not len(data):
            return
        # Never created here: a file removed after a failed job stays removed.
        descriptor = os.open(self.layout.path, os.O_WRONLY | os.O_CLOEXEC)
        try:
            position, written = self.layout.offset + start * self.layout.row_bytes, 0
            while written < len(data):
                written += os.pwrite(descriptor, data[written:], position + written)
        finally:
            os.close(descriptor)


def create_npy(path: str, shape: Tuple[int, ...], dtype: Any) -> NpyRowsWriter:
    """A new .npy file of `shape` (zeros until written, without taking disk
    space for them where the file system allows), replacing any file there."""
    dtype = np.dtype(dtype)
    if int(np.prod(shape, dtype=np.int64)) == 0:
        with open(path, "wb") as stream:  # a name without .npy keeps its name
            np.save(stream, np.empty(shape, dtype), allow_pickle=False)
    else:
        mapped = _npy_format.open_memmap(path, mode="w+", dtype=dtype, shape=shape)
        del mapped
    layout = read_layout(path)
    return NpyRowsWriter(layout)
