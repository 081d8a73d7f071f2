"""The names that a model gives its free dimensions ("batch"), read from
the ONNX file itself.

qelmo reports a free dimension as -1, without its name. The name is in the
file, in each graph input's and output's type, so this reads the protobuf
encoding directly rather than depending on the onnx package: only the
graph's inputs and outputs are decoded, and everything else (weights,
nodes) is skipped by its length, so a model of any size costs a few reads.
A file that does not decode as expected gives no names, never an error:
the tool then shows free dimensions as `?`, as before."""

from typing import BinaryIO, Dict, Iterator, List, Optional, Sequence, Tuple, Union

# Field numbers of onnx.proto's messages.
MODEL_GRAPH = 7
GRAPH_INPUT, GRAPH_OUTPUT = 11, 12
VALUE_INFO_NAME, VALUE_INFO_TYPE = 1, 2
TYPE_TENSOR, TYPE_SPARSE_TENSOR = 1, 8
TENSOR_TYPE_SHAPE = 2
SHAPE_DIM = 1
DIM_VALUE, DIM_PARAM = 1, 2

VARINT, FIXED64, LENGTH_DELIMITED, FIXED32 = 0, 1, 2, 5
READ_AHEAD = 1 << 16

# One dimension: its size, the name of a free one, or None for a free one without a name.
Dimension = Union[int, str, None]
Shape = List[Dimension]


class _Malformed(Exception):
    pass


class _Stream:
    """Reads a file through a small window, so that skipping a large field
    is a seek, not a read."""

    def __init__(self, file: BinaryIO, end: int) -> None:
        self.file = file
        self.end = end
        self.position = 0
        self.window = b""
        self.window_start = 0

    def byte(self) -> int:
        index = self.position - self.window_start
        if not 0 <= index < len(self.window):
            if self.position >= self.end:
                raise _Malformed("truncated")
            self.file.seek(self.position)
            self.window, self.window_start, index = self.file.read(READ_AHEAD), self.position, 0
            if not self.window:
                raise _Malformed("the file got shorter")
        self.position += 1
        return self.window[index]

    def read(self, size: int) -> bytes:
        self.skip(size)
        self.file.seek(self.position - size)
        return self.file.read(size)

    def skip(self, size: int) -> None:
        if self.position + size > self.end:
            raise _Malformed("truncated")
        self.position += size


def _varint(stream: _Stream) -> int:
    value = 0
    for shift in range(0, 70, 7):
        byte = stream.byte()
        value |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return value
    raise _Malformed("varint too long")


def _fields(stream: _Stream, end: int) -> Iterator[Tuple[int, int]]:
    """(field number, wire type) of each field of a message that ends at
    `end`; the caller reads or skips each value."""
    while stream.position < end:
        key = _varint(stream)
        yield key >> 3, key & 7
    if stream.position != end:
        raise _Malformed("a field runs past its message")


def _skip(stream: _Stream, wire_type: int) -> None:
    if wire_type == VARINT:
        _varint(stream)
    elif wire_type in (FIXED64, FIXED32):
        stream.skip(8 if wire_type == FIXED64 else 4)
    elif wire_type == LENGTH_DELIMITED:
        stream.skip(_varint(stream))
    else:
        raise _Malformed(f"wire type {wire_type}")


def _message_end(stream: _Stream, wire_type: int) -> int:
    if wire_type != LENGTH_DELIMITED:
        raise _Malformed("not a message")
    end = _varint(stream) + stream.position
    if end > stream.end:
        raise _Malformed("truncated")
    return end


def _text(stream: _Stream) -> str:
    return stream.read(_varint(stream)).decode("utf-8", errors="replace")


def _dimension(stream: _Stream, end: int) -> Dimension:
    dimension: Dimension = None
    for number, wire_type in _fields(stream, end):
        if number == DIM_VALUE and wire_type == VARINT:
            value = _varint(stream)
            dimension = value - (1 << 64) if value >= 1 << 63 else value  # an int64
        elif number == DIM_PARAM and wire_type == LENGTH_DELIMITED:
            dimension = _text(stream) or None
        else:
            _skip(stream, wire_type)
    return dimension


def _tensor_shape(stream: _Stream, end: int) -> Optional[Shape]:
    """The shape of a tensor type; None where it declares none (any rank)."""
    shape: Optional[Shape] = None
    for number, wire_type in _fields(stream, end):
        if number != TENSOR_TYPE_SHAPE:
            _skip(stream, wire_type)
            continue
        shape = [] if shape is None else shape
        shape_end = _message_end(stream, wire_type)
        for dim_number, dim_wire_type in _fields(stream, shape_end):
            if dim_number == SHAPE_DIM:
                shape.append(_dimension(stream, _message_end(stream, dim_wire_type)))
            else:
                _skip(stream, dim_wire_type)
    return shape


def _value_info(stream: _Stream, end: int) -> Tuple[str, Optional[Shape]]:
    name, shape = "", None
    for number, wire_type in _fields(stream, end):
        if number == VALUE_INFO_NAME and wire_type == LENGTH_DELIMITED:
            name = _text(stream)
        elif number == VALUE_INFO_TYPE:
            for kind, kind_wire_type in _fields(stream, _message_end(stream, wire_type)):
                if kind in (TYPE_TENSOR, TYPE_SPARSE_TENSOR):
                    shape = _tensor_shape(stream, _message_end(stream, kind_wire_type))
                else:
                    _skip(stream, kind_wire_type)
        else:
            _skip(stream, wire_type)
    return name, shape


def declared_shapes(path: str) -> Dict[str, Dict[str, Shape]]:
    """{"inputs": {name: shape}, "outputs": {name: shape}} for the tensors
    whose shape the file declares; empty where the file cannot be read."""
    found: Dict[str, Dict[str, Shape]] = {"inputs": {}, "outputs": {}}
    try:
        with open(path, "rb") as file:
            stream = _Stream(file, file.seek(0, 2))
            for number, wire_type in _fields(stream, stream.end):
                if number != MODEL_GRAPH:
                    _skip(stream, wire_type)
                    continue
                for field, field_wire_type in _fields(stream, _message_end(stream, wire_type)):
                    if field not in (GRAPH_INPUT, GRAPH_OUTPUT):
                        _skip(stream, field_wire_type)
                        continue
                    name, shape = _value_info(stream, _message_end(stream, field_wire_type))
                    if shape is not None:
                        found["inputs" if field == GRAPH_INPUT else "outputs"][name] = shape
    except (OSError, _Malformed):
        return {"inputs": {}, "outputs": {}}
    return found


def named_shape(declared: Sequence[int], from_file: Optional[Sequence[Dimension]]) -> Shape:
    """The runtime's shape (-1 for a free dimension) with the file's names
    in place of -1, where the file declares the same fixed dimensions."""
    shape: Shape = [None if size < 0 else size for size in declared]
    if from_file is None or len(from_file) != len(declared):
        return shape
    if any(size >= 0 and named != size for size, named in zip(declared, from_file)):
        return shape  # not the same tensor: no names
    return [named if size < 0 and isinstance(named, str) else kept for size, named, kept in zip(declared, from_file, shape)]
