"""Arrays read from files, whose kind is told by their content, not their
name: .npy (numpy's magic string), .npz (a zip archive of .npy files) or an
ONNX TensorProto (read with the onnx package, an optional extra)."""

import codecs
import os
from typing import List, Optional, Sequence

import numpy as np
import numpy.typing as npt

from qelmo_cli.errors import InputError

Array = npt.NDArray[np.generic]

NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")  # an archive with members, an empty one
PICKLE_MAGICS = tuple(bytes([0x80, protocol]) for protocol in range(2, 6))
HEAD_SIZE = 4096
ONNX_EXTRA_HINT = "reading .pb tensor files needs the onnx package: pip install 'qelmo[onnx]'"


def read_array(path: str, key: Optional[str] = None) -> Array:
    """The array in the file at `path`; `key` picks an .npz archive's array
    (the only one is taken when the archive holds one)."""
    head = _read_head(path)
    if not head:
        raise InputError(f"{path} is empty")
    if head.startswith(NPY_MAGIC):
        return _read_npy(path)
    if head.startswith(ZIP_MAGICS):
        return _read_npz_member(path, key)
    if head.startswith(PICKLE_MAGICS):
        raise InputError(f"{path} is a Python pickle, which qelmo does not load; save the array with numpy.save")
    if _is_text(head):
        raise InputError(f"{path} is a text file; give a .npy, .npz or ONNX TensorProto (.pb) file")
    return _read_tensor_proto(path)


def _read_head(path: str) -> bytes:
    try:
        with open(path, "rb") as stream:
            return stream.read(HEAD_SIZE)
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror or error}") from None


def _is_text(head: bytes) -> bool:
    # The incremental decoder lets a character cut at the end of the head pass.
    try:
        text = codecs.getincrementaldecoder("utf-8")().decode(head, final=False)
    except UnicodeDecodeError:
        return False
    return all(character.isprintable() or character in "\t\n\r\f\v" for character in text)


def object_array_message(path: str, what: str) -> str:
    return f"{path}: {what} holds Python objects, which qelmo does not load (it never unpickles)"


def _read_npy(path: str) -> Array:
    # A damaged header fails in numpy's parser with almost any exception type
    # (ValueError, SyntaxError, tokenize errors, ...): each means the same here.
    try:
        array: Array = np.load(path, allow_pickle=False)
    except Exception as error:  # noqa: BLE001
        if isinstance(error, ValueError) and "allow_pickle" in str(error):
            raise InputError(object_array_message(path, "the array")) from None
        raise InputError(f"cannot read {path} as .npy: {_reason(error)}") from None
    return array


def _reason(error: BaseException) -> str:
    return str(error) or type(error).__name__


def npz_members(path: str) -> List[str]:
    """The names of the arrays in an .npz archive."""
    if not _read_head(path).startswith(ZIP_MAGICS):
        raise InputError(f"{path} is not an .npz archive")
    try:
        with np.load(path, allow_pickle=False) as archive:
            return list(archive.files)
    except Exception as error:  # noqa: BLE001 - a damaged archive, as in _read_npy
        raise InputError(f"cannot read {path} as .npz: {_reason(error)}") from None


def _read_npz_member(path: str, key: Optional[str]) -> Array:
    try:
        with np.load(path, allow_pickle=False) as archive:
            names = list(archive.files)
            chosen = _choose_member(path, names, key)
            try:
                array: Array = archive[chosen]
            except ValueError as error:
                if "allow_pickle" in str(error):
                    raise InputError(object_array_message(path, f"array '{chosen}'")) from None
                raise
            return array
    except InputError:
        raise
    except Exception as error:  # noqa: BLE001 - a damaged archive, as in _read_npy
        raise InputError(f"cannot read {path} as .npz: {_reason(error)}") from None


def _choose_member(path: str, names: Sequence[str], key: Optional[str]) -> str:
    if key is not None and key in names:
        return key
    if len(names) == 1:
        return names[0]
    if not names:
        raise InputError(f"{path} holds no arrays")
    listed = ", ".join(names)
    if key is None:
        raise InputError(f"{path} holds several arrays ({listed}); name the one to use")
    raise InputError(f"{path} holds several arrays ({listed}) and none is named '{key}'")


def _read_tensor_proto(path: str) -> Array:
    try:
        import onnx
        from google.protobuf.message import DecodeError  # type: ignore[import-untyped,unused-ignore]
        from onnx import numpy_helper
    except ImportError:
        raise InputError(f"{path} is not a .npy or .npz file, and {ONNX_EXTRA_HINT}") from None
    with open(path, "rb") as stream:
        data = stream.read()
    tensor = onnx.TensorProto()
    try:
        tensor.ParseFromString(data)
    except DecodeError:
        raise InputError(f"{path} is not a .npy, .npz or ONNX TensorProto file") from None
    if tensor.data_type == onnx.TensorProto.UNDEFINED:
        if _is_model(data):
            raise InputError(f"{path} is an ONNX model, not a tensor")
        raise InputError(f"{path} is not an ONNX tensor: it declares no element type")
    if tensor.data_type not in onnx.TensorProto.DataType.values():
        raise InputError(f"{path} is not an ONNX tensor: it declares element type {tensor.data_type}, which ONNX does not define")
    try:
        array: Array = numpy_helper.to_array(tensor, base_dir=os.path.dirname(os.path.abspath(path)))
    except Exception as error:  # noqa: BLE001 - damaged fields fail in many ways
        raise InputError(f"{path} does not hold a readable ONNX tensor: {_reason(error)}") from None
    return array


def _is_model(data: bytes) -> bool:
    import onnx
    from google.protobuf.message import DecodeError  # type: ignore[import-untyped,unused-ignore]

    model = onnx.ModelProto()
    try:
        model.ParseFromString(data)
    except DecodeError:
        return False
    return len(model.graph.node) > 0 or len(model.opset_import) > 0
