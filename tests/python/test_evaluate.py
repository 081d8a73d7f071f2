"""evaluate(): arrays into tensors and tensors back into arrays, for every
supported element type and for the arrays that need care on the way in."""

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided
from onnx import TensorProto

import eval_models
import qelmo
from test_value import SUPPORTED

# Exactly the text; pytest matches the notes too, each on a line after it.
PLATFORM_FAILURE = r"\ACaught an unknown exception!(\n|\Z)"


def session_for(path):
    return qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)


def evaluate_identity(tmp_path, array, dtype=None):
    """Runs `array` through an identity model declared with its own shape."""
    dtype = np.dtype(dtype or array.dtype).name
    session = session_for(eval_models.identity(tmp_path / "id.onnx", dtype, array.shape))
    session.set_input("x", qelmo.QelmoValue(array))
    return session.evaluate()["y"].to_numpy()


def sample(dtype, shape):
    info = np.finfo(dtype) if np.dtype(dtype).kind == "f" else np.iinfo(dtype)
    values = np.linspace(0, 1, int(np.prod(shape)) or 1)[: int(np.prod(shape))]
    low, high = float(info.min) / 2, float(info.max) / 2
    array = (low + values * (high - low)).astype(dtype).reshape(shape)
    if array.size:
        array.flat[0] = info.max
        array.flat[-1] = info.min
    return array


def assert_fresh_copy_of(result, expected):
    assert result.dtype == expected.dtype
    assert result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata
    assert result.base is None


class TestRoundTrip:
    @pytest.mark.parametrize("dtype", SUPPORTED)
    @pytest.mark.parametrize("shape", [(2, 3), (), (0, 3), (4, 0, 2), (1, 1, 5)], ids=str)
    def test_identity_returns_the_input_exactly(self, tmp_path, dtype, shape):
        array = sample(dtype, shape)
        assert_fresh_copy_of(evaluate_identity(tmp_path, array), array)

    @pytest.mark.parametrize("spelling, canonical", [(np.longlong, "int64"), (np.ulonglong, "uint64")])
    def test_longlong_spellings_are_64_bit_integers(self, tmp_path, spelling, canonical):
        array = np.array([[np.iinfo(spelling).max, 0, np.iinfo(spelling).min]], dtype=spelling)
        result = evaluate_identity(tmp_path, array, canonical)
        assert result.dtype == np.dtype(canonical)
        np.testing.assert_array_equal(result, array.astype(canonical))

    def test_readonly_and_subclass_arrays_evaluate(self, tmp_path):
        class Tagged(np.ndarray):
            pass

        readonly = np.arange(6, dtype=np.int32).reshape(2, 3)
        readonly.flags.writeable = False
        for array in (readonly, readonly.copy().view(Tagged)):
            result = evaluate_identity(tmp_path, array)
            assert type(result) is np.ndarray
            assert_fresh_copy_of(result, np.asarray(array))

    def test_every_call_returns_new_arrays(self, tmp_path):
        session = session_for(eval_models.identity(tmp_path / "id.onnx", shape=(3,)))
        session.set_input("x", qelmo.QelmoValue(np.ones(3, np.float32)))
        first = session.evaluate()["y"].to_numpy()
        second = session.evaluate()["y"].to_numpy()
        assert first is not second
        np.testing.assert_array_equal(first, second)
        first[:] = 42  # the result is the caller's alone
        np.testing.assert_array_equal(session.evaluate()["y"].to_numpy(), np.ones(3, np.float32))

    def test_outputs_keep_the_models_names_and_kinds(self, tmp_path):
        session = session_for(eval_models.two_outputs_in_order(tmp_path / "two.onnx"))
        x = np.array([[1.5, -2.5], [3.0, 0.0]], np.float32)
        session.set_input("x", qelmo.QelmoValue(x))
        outputs = session.evaluate()
        assert set(outputs) == {"negated", "as_int"}
        np.testing.assert_array_equal(outputs["negated"].to_numpy(), -x)
        assert outputs["as_int"].to_numpy().dtype == np.int32
        np.testing.assert_array_equal(outputs["as_int"].to_numpy(), x.astype(np.int32))

    @pytest.mark.parametrize(
        "names",
        [
            ["z_first", "m_second", "a_third"],
            ["out_a", "zz", "b0", "m", "c9"],
            [f"o{k}" for k in range(40, 0, -1)],  # more than a small table's buckets
        ],
        ids=["three", "five", "forty_reversed"],
    )
    def test_outputs_come_in_the_models_declared_order(self, tmp_path, names):
        model = qelmo.QelmoModel(eval_models.outputs_named(tmp_path / "named.onnx", names))
        assert model.get_output_names() == names
        session = qelmo.QelmoSession(model, qelmo.CPU)
        x = np.zeros(3, np.float32)
        session.set_input("x", qelmo.QelmoValue(x))
        for _ in range(2):  # the order holds on every evaluation
            outputs = session.evaluate()
            assert list(outputs) == names
            # Unpacked by position, each value is the output of that name.
            for k, value in enumerate(outputs.values()):
                np.testing.assert_array_equal(value.to_numpy(), x + k)


class TestArraysThatAreNotRowMajor:
    BASE = np.arange(4 * 6, dtype=np.float32).reshape(4, 6) * 1.5 - 7

    @pytest.mark.parametrize(
        "view",
        [
            lambda a: a.T,
            lambda a: a[::2, ::3],
            lambda a: np.asfortranarray(a),
            lambda a: a[::-1, ::-1],
            lambda a: a[:, 1:4],
            lambda a: np.broadcast_to(a[:1], (4, 6)),
        ],
        ids=["transposed", "step", "fortran", "negative", "column_slice", "broadcast"],
    )
    def test_result_equals_the_contiguous_copy(self, tmp_path, view):
        array = view(self.BASE)
        assert not array.flags.c_contiguous
        np.testing.assert_array_equal(evaluate_identity(tmp_path, array), np.ascontiguousarray(array))

    def test_view_at_the_end_of_its_buffer(self, tmp_path):
        # A negative-stride view whose first element is the buffer's last:
        # reading it forwards would run past the allocation.
        buffer = np.arange(1000, dtype=np.float64)
        array = buffer[::-1]
        np.testing.assert_array_equal(evaluate_identity(tmp_path, array), buffer[::-1].copy())

    def test_misaligned_array(self, tmp_path):
        raw = np.zeros(4 * 6 + 1, np.uint8)
        array = np.frombuffer(raw.data, dtype=np.float32, count=6, offset=1)
        assert not array.flags.aligned
        raw[1:25] = np.arange(6, dtype=np.float32).view(np.uint8)
        np.testing.assert_array_equal(evaluate_identity(tmp_path, array), np.arange(6, dtype=np.float32))


class TestRefusedBeforeThePlatformReadsAnything:
    @pytest.mark.parametrize("shape", [(2**32,), (65536, 65537), (2**30, 2**30)], ids=str)
    def test_more_elements_than_a_tensor_holds(self, tmp_path, shape):
        # Cheap to make, enormous to copy: the refusal must come first.
        huge = as_strided(np.zeros(1, np.float32), shape=shape, strides=(0,) * len(shape))
        session = session_for(eval_models.identity(tmp_path / "id.onnx", shape=(3,)))
        session.set_input("x", qelmo.QelmoValue(huge))
        with pytest.raises(ValueError, match="more than 4294967295 elements"):
            session.evaluate()

    def test_largest_count_check_counts_a_zero_extent_as_empty(self, tmp_path):
        empty = as_strided(np.zeros(1, np.float32), shape=(2**40, 0), strides=(0, 0))
        result = evaluate_identity(tmp_path, empty)
        assert result.shape == (2**40, 0)

    @pytest.mark.parametrize(
        "new_dtype", [np.float32, np.int64, np.float16, np.complex128], ids=["float32", "int64", "float16", "complex"]
    )
    # numpy 2.5 deprecates what this guards against; arrays still allow it.
    @pytest.mark.filterwarnings("ignore:Setting the dtype on a NumPy array:DeprecationWarning")
    def test_dtype_reassigned_after_wrapping(self, tmp_path, new_dtype):
        array = np.arange(4, dtype=np.float64)
        session = session_for(eval_models.identity(tmp_path / "id.onnx", "float64", (4,)))
        session.set_input("x", qelmo.QelmoValue(array))
        array.dtype = new_dtype
        with pytest.raises(RuntimeError, match="^Unsupported numpy data type$"):
            session.evaluate()
        array.dtype = np.float64  # restored: the staged value works again
        np.testing.assert_array_equal(session.evaluate()["y"].to_numpy(), np.arange(4, dtype=np.float64))


class TestFloat16:
    def all_halves(self):
        return np.arange(65536, dtype=np.uint32).astype(np.uint16).view(np.float16)

    def test_every_half_value_is_widened_exactly(self, tmp_path):
        halves = self.all_halves()
        session = session_for(eval_models.cast(tmp_path / "cast.onnx", TensorProto.FLOAT, TensorProto.FLOAT16, (65536,)))
        session.set_input("x", qelmo.QelmoValue(halves.astype(np.float32)))
        result = session.evaluate()["y"].to_numpy()
        assert result.dtype == np.float32 and result.shape == (65536,)
        nan = np.isnan(halves)
        expected = halves[~nan].astype(np.float32)
        np.testing.assert_array_equal(result[~nan].view(np.uint32), expected.view(np.uint32))
        assert np.isnan(result[nan]).all()
        assert nan.sum() == 2046

    def test_float16_output_of_a_zero_length_and_0d_tensor(self, tmp_path):
        for shape in [(0, 2), ()]:
            path = eval_models.cast(tmp_path / "cast.onnx", TensorProto.FLOAT, TensorProto.FLOAT16, shape)
            session = session_for(path)
            x = np.full(shape, 0.5, np.float32)
            session.set_input("x", qelmo.QelmoValue(x))
            result = session.evaluate()["y"].to_numpy()
            assert result.dtype == np.float32 and result.shape == shape
            np.testing.assert_array_equal(result, x)

    def test_float32_array_bound_to_a_float16_input(self, tmp_path):
        path = eval_models.cast(tmp_path / "cast.onnx", TensorProto.FLOAT16, TensorProto.FLOAT, (6,))
        session = session_for(path)
        x = np.array([0.1, -2.5, 65504.0, 1e-7, 70000.0, -0.0], np.float32)
        session.set_input("x", qelmo.QelmoValue(x))
        result = session.evaluate()["y"].to_numpy()
        with np.errstate(over="ignore"):  # 70000 rounds to infinity, as it should
            expected = x.astype(np.float16).astype(np.float32)
        np.testing.assert_array_equal(result, expected)


class TestOutputsLeftOut:
    def test_only_tensor_outputs_of_supported_kinds_are_returned(self, tmp_path):
        session = session_for(eval_models.mixed_outputs(tmp_path / "mixed.onnx"))
        session.set_input("x", qelmo.QelmoValue(np.array([1, -2, 3], np.float32)))
        outputs = session.evaluate()
        # sequence, bool tensor, string tensor and sequence of maps are left out
        assert list(outputs) == ["y"]
        np.testing.assert_array_equal(outputs["y"].to_numpy(), np.array([1, -2, 3], np.float32))

    def test_model_without_outputs_gives_an_empty_dict(self, tmp_path):
        session = session_for(eval_models.no_outputs(tmp_path / "none.onnx"))
        session.set_input("x", qelmo.QelmoValue(np.zeros(3, np.float32)))
        assert session.evaluate() == {}
