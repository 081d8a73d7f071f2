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
# A graph input's description is a name and a type: far below this.
LARGEST_VALUE_INFO = 1 << 24

# One dimension: its size, the name of a free one, or None for a free one without a name.
Dimension = Union[int, str, None]


class _Malformed(Exception):
    pass


class _FileStream:
    """Reads fields from a file through a small window, so that skipping
    a large field is a seek, not a read."""

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
                raise _Malformed("truncated")
        self.position += 1
        return self.window[index]

    def read(self, size: int) -> bytes:
        if self.position + size > self.end:
            raise _Malformed("truncated")
        start = self.position - self.window_start
        if 0 <= start and start + size <= len(self.window):
            data = self.window[start : start + size]
        else:
            self.file.seek(self.position)
            data = self.file.read(size)
        self.position += size
        return data

    def skip(self, size: int) -> None:
        if self.position + size > self.end:
            raise _Malformed("truncated")
        self.position += size


class _BytesStream:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.position = 0
        self.end = len(data)

    def byte(self) -> int:
        if self.position >= self.end:
            raise _Malformed("truncated")
        self.position += 1
        return self.data[self.position - 1]

    def read(self, size: int) -> bytes:
        self.skip(size)
        return self.data[self.position - size : self.position]

    def skip(self, size: int) -> None:
        if self.position + size > self.end:
            raise _Malformed("truncated")
        self.position += size


Stream = Union[_FileStream, _BytesStream]


def _varint(stream: Stream) -> int:
    value = 0
    for shift in range(0, 70, 7):
        byte = stream.byte()
        value |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return value
    raise _Malformed("varint too long")


def _fields(stream: Stream, end: int) -> Iterator[Tuple[int, int]]:
    """(field number, wire type) of each field up to `end`; the caller
    reads or skips each value."""
    while stream.position < end:
        key = _varint(stream)
        yield key >> 3, key & 7
    if stream.position != end:
        raise _Malformed("field runs past its message")


def _skip(stream: Stream, wire_type: int) -> None:
    if wire_type == VARINT:
        _varint(stream)
    elif wire_type == FIXED64:
        stream.skip(8)
    elif wire_type == FIXED32:
        stream.skip(4)
    elif wire_type == LENGTH_DELIMITED:
        stream.skip(_varint(stream))
    else:
        raise _Malformed(f"wire type {wire_type}")


def _message(stream: Stream, wire_type: int, field: str) -> _BytesStream:
    if wire_type != LENGTH_DELIMITED:
        raise _Malformed(f"{field} is not a message")
    size = _varint(stream)
    if size > LARGEST_VALUE_INFO:
        raise _Malformed(f"{field} of {size} bytes")
    return _BytesStream(stream.read(size))


def _signed(value: int) -> int:
    return value - (1 << 64) if value >= 1 << 63 else value


def _dimension(stream: _BytesStream) -> Dimension:
    dimension: Dimension = None
    for number, wire_type in _fields(stream, stream.end):
        if number == DIM_VALUE and wire_type == VARINT:
            dimension = _signed(_varint(stream))
        elif number == DIM_PARAM and wire_type == LENGTH_DELIMITED:
            dimension = _text(stream) or None
        else:
            _skip(stream, wire_type)
    return dimension


def _text(stream: Stream) -> str:
    return stream.read(_varint(stream)).decode("utf-8", errors="replace")


def _shape_of_tensor_type(stream: _BytesStream) -> Optional[List[Dimension]]:
    shape: Optional[List[Dimension]] = None
    for number, wire_type in _fields(stream, stream.end):
        if number == TENSOR_TYPE_SHAPE:
            shape = [] if shape is None else shape
            inner = _message(stream, wire_type, "shape")
            for dim_number, dim_wire_type in _fields(inner, inner.end):
                if dim_number == SHAPE_DIM:
                    shape.append(_dimension(_message(inner, dim_wire_type, "dimension")))
                else:
                    _skip(inner, dim_wire_type)
        else:
            _skip(stream, wire_type)
    return shape


def _value_info(stream: _BytesStream) -> Tuple[str, Optional[List[Dimension]]]:
    name, shape = "", None
    for number, wire_type in _fields(stream, stream.end):
        if number == VALUE_INFO_NAME and wire_type == LENGTH_DELIMITED:
            name = _text(stream)
        elif number == VALUE_INFO_TYPE:
            kind = _message(stream, wire_type, "type")
            for kind_number, kind_wire_type in _fields(kind, kind.end):
                if kind_number in (TYPE_TENSOR, TYPE_SPARSE_TENSOR):
                    shape = _shape_of_tensor_type(_message(kind, kind_wire_type, "tensor type"))
                else:
                    _skip(kind, kind_wire_type)
        else:
            _skip(stream, wire_type)
    return name, shape


def _graph_features(stream: _FileStream, end: int, found: Dict[str, Dict[str, List[Dimension]]]) -> None:
    for number, wire_type in _fields(stream, end):
        if number in (GRAPH_INPUT, GRAPH_OUTPUT):
            name, shape = _value_info(_message(stream, wire_type, "graph input or output"))
            if shape is not None:
                found["inputs" if number == GRAPH_INPUT else "outputs"][name] = shape
        else:
            _skip(stream, wire_type)


def declared_shapes(path: str) -> Dict[str, Dict[str, List[Dimension]]]:
    """{"inputs": {name: shape}, "outputs": {name: shape}} for the tensors
    whose shape the file declares; empty where the file cannot be read."""
    found: Dict[str, Dict[str, List[Dimension]]] = {"inputs": {}, "outputs": {}}
    try:
        with open(path, "rb") as file:
            file.seek(0, 2)
            stream = _FileStream(file, file.tell())
            for number, wire_type in _fields(stream, stream.end):
                if number == MODEL_GRAPH and wire_type == LENGTH_DELIMITED:
                    size = _varint(stream)
                    _graph_features(stream, stream.position + size, found)
                else:
                    _skip(stream, wire_type)
    except (OSError, _Malformed):
        return {"inputs": {}, "outputs": {}}
    return found


def named_shape(declared: Sequence[int], from_file: Optional[Sequence[Dimension]]) -> List[Dimension]:
    """The runtime's shape (-1 for a free dimension) with the file's names
    in place of -1, where the file declares the same fixed dimensions."""
    shape: List[Dimension] = [None if size < 0 else size for size in declared]
    if from_file is None or len(from_file) != len(declared):
        return shape
    for index, (size, named) in enumerate(zip(declared, from_file)):
        if size < 0 and isinstance(named, str):
            shape[index] = named
        elif size >= 0 and named != size:
            return [None if size < 0 else size for size in declared]  # not the same tensor: no names
    return shape
