"""QelmoSession: construction, staging, and how failures leave the session."""

import gc

import numpy as np
import pytest

import eval_models
import qelmo

# Exactly the text; pytest matches the notes too, each on a line after it.
PLATFORM_FAILURE = r"\ACaught an unknown exception!(\n|\Z)"


@pytest.fixture
def identity_session(tmp_path):
    return qelmo.QelmoSession(qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx", shape=(3,))), qelmo.CPU)


@pytest.fixture
def subtract_session(tmp_path):
    """y = a - b over float32 (3,)."""
    path = eval_models.binary(tmp_path / "sub.onnx", "Sub")
    return qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)


def f32(*values):
    return np.array(values, dtype=np.float32)


def run(session):
    return {name: value.to_numpy() for name, value in session.evaluate().items()}


class TestConstruction:
    def test_default_device_is_gpu_in_the_signature(self):
        assert "device_type: qelmo.DeviceType = <DeviceType.GPU: 3>" in qelmo.QelmoSession.__init__.__doc__

    @pytest.mark.parametrize(
        "make",
        [
            lambda m: qelmo.QelmoSession(m),
            lambda m: qelmo.QelmoSession(m, qelmo.CPU),
            lambda m: qelmo.QelmoSession(model=m, device_type=qelmo.DeviceType.CPU),
        ],
        ids=["default", "cpu", "keywords"],
    )
    def test_each_device_choice_evaluates(self, tmp_path, make):
        session = make(qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx", shape=(3,))))
        session.set_input("x", qelmo.QelmoValue(f32(1, 2, 3)))
        np.testing.assert_array_equal(run(session)["y"], f32(1, 2, 3))

    def test_arguments_of_the_wrong_type_are_refused(self, tmp_path):
        model = qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx"))
        with pytest.raises(TypeError):
            qelmo.QelmoSession(model, 1)
        with pytest.raises(TypeError):
            qelmo.QelmoSession(None)

    def test_device_kind_the_platform_rejects(self, tmp_path):
        model = qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx"))
        with pytest.raises(RuntimeError, match=PLATFORM_FAILURE):
            qelmo.QelmoSession(model, qelmo.DeviceType(99))

    def test_session_outlives_its_model(self, tmp_path):
        model = qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx", shape=(3,)))
        session = qelmo.QelmoSession(model, qelmo.CPU)
        del model
        gc.collect()
        session.set_input("x", qelmo.QelmoValue(f32(4, 5, 6)))
        np.testing.assert_array_equal(run(session)["y"], f32(4, 5, 6))


class TestStaging:
    def test_restaging_a_name_replaces_the_value(self, identity_session):
        identity_session.set_input("x", qelmo.QelmoValue(f32(1, 1, 1)))
        identity_session.set_input("x", qelmo.QelmoValue(f32(2, 2, 2)))
        np.testing.assert_array_equal(run(identity_session)["y"], f32(2, 2, 2))

    def test_restaging_the_same_value_is_safe(self, identity_session):
        value = qelmo.QelmoValue(f32(1, 2, 3))
        identity_session.set_input("x", value)
        del value
        gc.collect()
        staged = qelmo.QelmoValue(f32(7, 8, 9))
        for _ in range(3):
            identity_session.set_input("x", staged)
        np.testing.assert_array_equal(run(identity_session)["y"], f32(7, 8, 9))

    def test_names_differing_in_case_are_distinct(self, tmp_path):
        path = eval_models.binary(tmp_path / "sub.onnx", "Sub", names=("a", "A"))
        session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
        session.set_input("a", qelmo.QelmoValue(f32(10, 20, 30)))
        session.set_input("A", qelmo.QelmoValue(f32(1, 2, 3)))
        np.testing.assert_array_equal(run(session)["y"], f32(9, 18, 27))

    def test_writes_into_a_staged_array_are_evaluated(self, identity_session):
        array = f32(1, 2, 3)
        identity_session.set_input("x", qelmo.QelmoValue(array))
        array[:] = [4, 5, 6]
        np.testing.assert_array_equal(run(identity_session)["y"], f32(4, 5, 6))
        array[0] = -1
        np.testing.assert_array_equal(run(identity_session)["y"], f32(-1, 5, 6))

    def test_one_value_under_two_names(self, subtract_session):
        value = qelmo.QelmoValue(f32(1, 2, 3))
        subtract_session.set_input("a", value)
        subtract_session.set_input("b", value)
        np.testing.assert_array_equal(run(subtract_session)["y"], f32(0, 0, 0))
        value.to_numpy()[:] = 5  # both names see the one array
        np.testing.assert_array_equal(run(subtract_session)["y"], f32(0, 0, 0))

    def test_set_input_takes_positional_arguments_only(self, identity_session):
        with pytest.raises(TypeError):
            identity_session.set_input(name="x", value=qelmo.QelmoValue(f32(1, 2, 3)))

    def test_clear_input_on_a_fresh_session(self, identity_session):
        identity_session.clear_input()
        identity_session.set_input("x", qelmo.QelmoValue(f32(1, 2, 3)))
        np.testing.assert_array_equal(run(identity_session)["y"], f32(1, 2, 3))

    def test_clear_input_drops_the_staged_arrays(self, identity_session):
        identity_session.set_input("x", qelmo.QelmoValue(f32(1, 2, 3)))
        identity_session.clear_input()
        with pytest.raises(RuntimeError, match=PLATFORM_FAILURE):
            identity_session.evaluate()

    def test_session_releases_staged_arrays(self, tmp_path):
        import weakref

        class Tracked(np.ndarray):
            pass

        array = f32(1, 2, 3).view(Tracked)
        alive = weakref.ref(array)
        session = qelmo.QelmoSession(qelmo.QelmoModel(eval_models.identity(tmp_path / "id.onnx", shape=(3,))), qelmo.CPU)
        session.set_input("x", qelmo.QelmoValue(array))
        run(session)
        del array
        gc.collect()
        assert alive() is not None  # the session still holds it
        session.clear_input()
        gc.collect()
        assert alive() is None

    def test_finaliser_of_a_dropped_array_may_stage_or_clear(self, identity_session):
        # Dropping the last reference to a staged array runs its __del__ in
        # the middle of set_input or clear_input on the same session.
        def finalised(then):
            cls = type("Finalised", (np.ndarray,), {"__del__": lambda self: then()})
            return qelmo.QelmoValue(f32(0, 0, 0).view(cls))

        identity_session.set_input("x", finalised(lambda: identity_session.set_input("x", qelmo.QelmoValue(f32(7, 8, 9)))))
        identity_session.clear_input()
        np.testing.assert_array_equal(run(identity_session)["y"], f32(7, 8, 9))

        identity_session.set_input("x", finalised(identity_session.clear_input))
        identity_session.set_input("x", qelmo.QelmoValue(f32(1, 2, 3)))
        with pytest.raises(RuntimeError, match=PLATFORM_FAILURE):
            identity_session.evaluate()  # the finaliser cleared it


class TestFailuresLeaveTheSessionUsable:
    def test_unknown_input_name_fails_until_cleared(self, identity_session):
        identity_session.set_input("x", qelmo.QelmoValue(f32(1, 2, 3)))
        identity_session.set_input("not_an_input", qelmo.QelmoValue(f32(1, 2, 3)))
        for _ in range(2):
            with pytest.raises(RuntimeError, match=PLATFORM_FAILURE):
                identity_session.evaluate()
        identity_session.clear_input()
        identity_session.set_input("x", qelmo.QelmoValue(f32(1, 2, 3)))
        np.testing.assert_array_equal(run(identity_session)["y"], f32(1, 2, 3))

    def test_missing_input(self, subtract_session):
        with pytest.raises(RuntimeError, match=PLATFORM_FAILURE):
            subtract_session.evaluate()
        subtract_session.set_input("a", qelmo.QelmoValue(f32(1, 2, 3)))
        with pytest.raises(RuntimeError, match=PLATFORM_FAILURE):
            subtract_session.evaluate()
        subtract_session.set_input("b", qelmo.QelmoValue(f32(1, 1, 1)))
        np.testing.assert_array_equal(run(subtract_session)["y"], f32(0, 1, 2))

    @pytest.mark.parametrize(
        "wrong",
        [np.array([1, 2, 3], dtype=np.float64), np.array([1, 2, 3], dtype=np.int32), f32(1, 2), f32(1, 2, 3, 4).reshape(2, 2)],
        ids=["float64", "int32", "short", "2d"],
    )
    def test_wrong_dtype_or_shape(self, identity_session, wrong):
        identity_session.set_input("x", qelmo.QelmoValue(wrong))
        with pytest.raises(RuntimeError, match=PLATFORM_FAILURE):
            identity_session.evaluate()
        identity_session.set_input("x", qelmo.QelmoValue(f32(1, 2, 3)))
        np.testing.assert_array_equal(run(identity_session)["y"], f32(1, 2, 3))
