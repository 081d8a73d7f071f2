"""QelmoValue: which arrays are taken, and that the caller's array is kept as is."""

import pickle

import numpy as np
import pytest

import eval_models
import qelmo

SUPPORTED = ["float32", "int64", "uint8", "float64", "int8", "uint16", "uint32", "uint64", "int16", "int32"]

# numpy's second spelling of the native 64-bit integers on this platform.
LONGLONG = [np.longlong, np.ulonglong]

REFUSED = [
    np.float16,
    np.bool_,
    np.complex64,
    np.complex128,
    np.longdouble,
    "U4",
    "S4",
    object,
    "datetime64[s]",
    "timedelta64[ms]",
    [("a", "<i4"), ("b", "<f4")],
    ">f4",  # non-native byte order
    ">i8",
]


@pytest.mark.parametrize("dtype", SUPPORTED + LONGLONG)
@pytest.mark.parametrize("shape", [(2, 3), (), (0, 4)])
def test_supported_array_is_kept_as_is(dtype, shape):
    array = np.zeros(shape, dtype=dtype)
    value = qelmo.QelmoValue(array)
    assert value.to_numpy() is array
    assert value.to_numpy() is value.to_numpy()
    assert qelmo.QelmoValue(array=array).to_numpy() is array


def test_metadata_carrying_descriptor_is_refused():
    with_metadata = np.dtype(np.float32, metadata={"unit": "m"})
    with pytest.raises(RuntimeError, match="^Unsupported numpy data type$"):
        qelmo.QelmoValue(np.zeros(3, dtype=with_metadata))


@pytest.mark.parametrize("dtype", REFUSED, ids=str)
def test_unsupported_dtype_is_refused(dtype):
    with pytest.raises(RuntimeError, match="^Unsupported numpy data type$"):
        qelmo.QelmoValue(np.zeros(3, dtype=dtype))


@pytest.mark.parametrize("not_an_array", [[1.0, 2.0], (1, 2), 1.5, np.float32(1), b"abcd", None])
def test_only_ndarrays_are_taken(not_an_array):
    with pytest.raises(TypeError):
        qelmo.QelmoValue(not_an_array)


def test_views_subclasses_and_readonly_arrays_are_taken():
    class Tagged(np.ndarray):
        pass

    base = np.arange(12, dtype=np.float32).reshape(3, 4)
    readonly = base.copy()
    readonly.flags.writeable = False
    for array in (base.T, base[::2, ::-1], base.view(Tagged), readonly, np.asfortranarray(base)):
        assert qelmo.QelmoValue(array).to_numpy() is array


def test_writes_after_wrapping_are_seen():
    array = np.zeros(3, dtype=np.int32)
    value = qelmo.QelmoValue(array)
    array[1] = 7
    assert value.to_numpy()[1] == 7


def test_value_has_no_instance_dict():
    value = qelmo.QelmoValue(np.zeros(1, np.float32))
    with pytest.raises(AttributeError):
        value.extra = 1


@pytest.mark.parametrize("dtype", SUPPORTED + LONGLONG)
def test_arrays_that_crossed_a_pickle_are_taken_as_their_type(tmp_path, dtype):
    # Unpickled arrays carry an equal copy of numpy's descriptor, not numpy's own.
    array = pickle.loads(pickle.dumps(np.arange(6, dtype=dtype).reshape(2, 3)))
    assert array.dtype == np.dtype(dtype)
    path = eval_models.identity(tmp_path / "id.onnx", np.dtype(dtype).name, (2, 3))
    session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
    session.set_input("x", qelmo.QelmoValue(array))
    result = session.evaluate()["y"].to_numpy()
    assert result.dtype == np.dtype(dtype).newbyteorder("=")
    np.testing.assert_array_equal(result, array)


@pytest.mark.parametrize("dtype", [">f4", ">i8", np.dtype(np.float32, metadata={"unit": "m"})], ids=str)
def test_copied_descriptors_that_are_not_plain_stay_refused(dtype):
    copy = pickle.loads(pickle.dumps(np.dtype(dtype)))
    array = np.zeros(3, dtype=copy)
    assert array.dtype is copy and copy is not np.dtype(dtype)
    with pytest.raises(RuntimeError, match="^Unsupported numpy data type$"):
        qelmo.QelmoValue(array)
