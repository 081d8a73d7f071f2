"""QelmoModel: loading, metadata and feature names."""

import ctypes
import gc
import os
import pathlib
import subprocess
import sys
import textwrap
import threading

import onnx
import pytest
from onnx import TensorProto, helper

import qelmo
from models import identity_model, image_info, map_info, sequence_info, tensor_info

UNKNOWN = "Caught an unknown exception!"
CAPSULE_NAME = b"Windows.AI.MachineLearning.LearningModel"


class TestMetadata:
    def test_declared_metadata(self, model_path):
        model = qelmo.QelmoModel(
            model_path(graph_name="tiny-net", producer_name="Ada", domain="ai.qelmo.test", doc_string="Doubles x")
        )
        assert model.get_author() == "Ada"
        assert model.get_name() == "tiny-net"
        assert model.get_domain() == "ai.qelmo.test"
        assert model.get_description() == "Doubles x"

    def test_undeclared_metadata_is_empty(self, model_path):
        model = qelmo.QelmoModel(model_path(graph_name=""))
        assert (model.get_author(), model.get_name(), model.get_domain(), model.get_description()) == ("",) * 4

    def test_non_ascii_text_round_trips(self, model_path):
        text = "Zoë — модель 模型 🚀"
        model = qelmo.QelmoModel(
            model_path(
                inputs=[tensor_info(text)],
                outputs=[tensor_info("ausgabe-ß")],
                graph_name=text,
                producer_name=text,
                domain=text,
                doc_string=text,
            )
        )
        assert model.get_author() == model.get_name() == model.get_domain() == model.get_description() == text
        assert model.get_input_names() == [text]
        assert model.get_output_names() == ["ausgabe-ß"]

    def test_repeated_calls_agree(self, model_path):
        model = qelmo.QelmoModel(model_path(inputs=[tensor_info("a")], outputs=[tensor_info("b")], producer_name="p"))
        for _ in range(3):
            assert model.get_author() == "p"
            assert model.get_input_names() == ["a"]
            assert model.get_output_names() == ["b"]
            assert model.get_input_details() == model.get_input_details()


class TestFeatureNames:
    def test_every_kind_of_input_is_listed_in_order(self, model_path):
        model = qelmo.QelmoModel(
            model_path(
                inputs=[tensor_info("t"), sequence_info("s"), map_info("m"), image_info("i")],
                outputs=[tensor_info("o"), sequence_info("so")],
            )
        )
        assert model.get_input_names() == ["t", "s", "m", "i"]
        assert model.get_output_names() == ["o", "so"]

    def test_inputs_backed_by_initializers_are_left_out(self, model_path):
        weight = helper.make_tensor("w", TensorProto.FLOAT, [2], [1.0, 2.0])
        model = qelmo.QelmoModel(
            model_path(
                inputs=[tensor_info("x", shape=[2]), tensor_info("w", shape=[2])],
                outputs=[tensor_info("y", shape=[2])],
                nodes=[helper.make_node("Add", ["x", "w"], ["y"])],
                initializers=[weight],
            )
        )
        assert model.get_input_names() == ["x"]
        assert [name for name, _, _ in model.get_input_details()] == ["x"]

    def test_no_inputs_and_no_outputs(self, model_path):
        model = qelmo.QelmoModel(model_path())
        assert model.get_input_names() == []
        assert model.get_output_names() == []
        assert model.get_input_details() == []
        assert model.get_output_details() == []


def assert_load_fails(path):
    with pytest.raises(RuntimeError) as caught:
        qelmo.QelmoModel(path)
    assert str(caught.value) == UNKNOWN


class TestLoadFailures:
    def test_missing_file(self, tmp_path):
        assert_load_fails(str(tmp_path / "missing.onnx"))

    def test_empty_path(self):
        assert_load_fails("")

    def test_directory(self, tmp_path):
        assert_load_fails(str(tmp_path))

    def test_empty_file(self, tmp_path):
        (tmp_path / "empty.onnx").write_bytes(b"")
        assert_load_fails(str(tmp_path / "empty.onnx"))

    @pytest.mark.parametrize(
        "content",
        [b"not a model at all\n", bytes(range(256)) * 4, b"\xff" * 64, b"\x0a\xff\xff\xff\xff\x0f"],
        ids=["text", "bytes", "overlong-varint", "length-past-end"],
    )
    def test_garbage_file(self, tmp_path, content):
        path = tmp_path / "garbage.onnx"
        path.write_bytes(content)
        assert_load_fails(str(path))

    def test_truncated_model(self, tmp_path):
        whole = pathlib.Path(
            identity_model(tmp_path / "whole.onnx", producer_name="truncation", doc_string="d" * 40)
        ).read_bytes()
        for length in sorted({1, 3, 12, len(whole) // 3, len(whole) // 2, len(whole) - 1}):
            cut = whole[:length]
            with pytest.raises(Exception):  # the onnx package agrees that these are broken
                onnx.load_from_string(cut)
            path = tmp_path / f"cut{length}.onnx"
            path.write_bytes(cut)
            assert_load_fails(str(path))

    def test_embedded_nul_does_not_reach_another_file(self, tmp_path):
        real = identity_model(tmp_path / "model.onnx")
        assert_load_fails(real + "\0ignored")

    def test_process_carries_on_after_failures(self, tmp_path, identity_path):
        for _ in range(20):
            assert_load_fails(str(tmp_path / "missing.onnx"))
        assert qelmo.QelmoModel(identity_path).get_input_names() == ["x"]


class TestArguments:
    def test_path_must_be_str(self, identity_path):
        with pytest.raises(TypeError):
            qelmo.QelmoModel(identity_path.encode())
        with pytest.raises(TypeError):
            qelmo.QelmoModel(pathlib.Path(identity_path))
        with pytest.raises(TypeError):
            qelmo.QelmoModel(None)

    def test_keyword_argument(self, identity_path):
        assert qelmo.QelmoModel(model_path=identity_path).get_output_names() == ["y"]

    def test_relative_path_is_resolved_from_the_working_directory(self, tmp_path, monkeypatch):
        identity_model(tmp_path / "relative.onnx")
        monkeypatch.chdir(tmp_path)
        assert qelmo.QelmoModel("relative.onnx").get_input_names() == ["x"]

    def test_instances_take_no_new_attributes(self, identity_path):
        model = qelmo.QelmoModel(identity_path)
        with pytest.raises(AttributeError):
            model.extra = 1


class TestThreads:
    def test_two_models_on_one_thread(self, identity_path):
        first = qelmo.QelmoModel(identity_path)
        second = qelmo.QelmoModel(identity_path)
        assert first.get_input_names() == second.get_input_names()

    def test_models_on_other_threads(self, identity_path):
        results, errors = [], []

        def load():
            try:
                results.append(qelmo.QelmoModel(identity_path).get_output_names())
            except Exception as error:  # reported below, on the test's thread
                errors.append(error)

        threads = [threading.Thread(target=load) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert errors == []
        assert results == [["y"]] * 4


def capsule_is_valid(capsule):
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.restype = ctypes.c_int
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return is_valid(capsule, CAPSULE_NAME) == 1


class TestGetModel:
    def test_returns_a_named_capsule(self, identity_path):
        capsule = qelmo.QelmoModel(identity_path).get_model()
        assert type(capsule).__name__ == "PyCapsule"
        assert capsule_is_valid(capsule)

    def test_capsules_outlive_the_model_object(self, identity_path):
        model = qelmo.QelmoModel(identity_path)
        capsules = [model.get_model() for _ in range(3)]
        del model
        gc.collect()
        assert all(capsule_is_valid(c) for c in capsules)
        del capsules
        gc.collect()


def test_clean_exit_after_loading_models(tmp_path):
    path = identity_model(tmp_path / "exit.onnx")
    script = textwrap.dedent(
        f"""
        import qelmo
        kept = [qelmo.QelmoModel({path!r}) for _ in range(3)]
        capsule = kept[0].get_model()
        try:
            qelmo.QelmoModel({str(tmp_path / "missing.onnx")!r})
        except RuntimeError:
            pass
        print(kept[0].get_input_details())
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          cwd=os.fspath(tmp_path))
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert done.stdout.strip() == "[('x', [2, 3], 'float32')]"
