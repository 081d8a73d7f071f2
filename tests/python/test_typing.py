"""The installed stubs let mypy and pyright (basedpyright) check code that
uses the whole module, and make them reject misuse."""

import os
import subprocess
import sys
import textwrap

import pytest

WHOLE_API = textwrap.dedent(
    """
    import numpy as np
    import numpy.typing as npt
    import qelmo

    model = qelmo.QelmoModel(model_path="model.onnx")
    capsule: object = model.get_model()
    texts: list[str] = [model.get_author(), model.get_name(), model.get_domain(), model.get_description()]
    names: list[str] = model.get_input_names() + model.get_output_names()
    for name, shape, element_type in model.get_input_details() + model.get_output_details():
        size: int = shape[0]
        label: str = name + element_type
    device: qelmo.DeviceType = qelmo.DeviceType(1)
    number: int = int(device) + device.value + qelmo.GPU.__index__()
    member: str = qelmo.DeviceType.CPU.name
    assert qelmo.CPU == qelmo.DeviceType.CPU and qelmo.DeviceType.__members__["GPU"] is qelmo.GPU
    session = qelmo.QelmoSession(model=model, device_type=qelmo.CPU)
    default_session = qelmo.QelmoSession(model)
    value = qelmo.QelmoValue(array=np.zeros((1, 4), np.float32))
    session.set_input("x", value)
    session.clear_input()
    outputs: dict[str, qelmo.QelmoValue] = session.evaluate()
    array: npt.NDArray[np.generic] = outputs["y"].to_numpy()
    """
)

MISUSE = textwrap.dedent(
    """
    import qelmo

    model = qelmo.QelmoModel(b"model.onnx")
    session = qelmo.QelmoSession(model, 1)
    session.set_input(name="x", value=None)
    names: list[int] = model.get_input_names()
    """
)


def check(tool, tmp_path, source):
    script = tmp_path / "script.py"
    script.write_text(source)
    if tool == "mypy":
        command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable, str(script)]
    else:
        command = [os.path.join(os.path.dirname(sys.executable), "basedpyright"), "--pythonpath", sys.executable, str(script)]
    return subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, timeout=300)


@pytest.mark.parametrize("tool", ["mypy", "basedpyright"])
def test_whole_api_type_checks(tool, tmp_path):
    result = check(tool, tmp_path, WHOLE_API)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("tool", ["mypy", "basedpyright"])
def test_misuse_is_reported_line_by_line(tool, tmp_path):
    result = check(tool, tmp_path, MISUSE)
    assert result.returncode != 0
    reported = {int(line.split(":")[1]) for line in result.stdout.splitlines() if "script.py:" in line and "error" in line}
    assert {4, 5, 6, 7} <= reported, result.stdout


def test_stub_declares_exactly_the_module_surface():
    import ast

    import qelmo

    stub = os.path.join(os.path.dirname(qelmo.__file__), "qelmo-stubs", "__init__.pyi")
    with open(stub) as source:
        tree = ast.parse(source.read())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert set(classes) == {"DeviceType", "QelmoModel", "QelmoSession", "QelmoValue"}
    for name in ("QelmoModel", "QelmoSession", "QelmoValue"):
        declared = {node.name for node in classes[name].body if isinstance(node, ast.FunctionDef)}
        actual = {attr for attr in vars(getattr(qelmo, name)) if not attr.startswith("_")} | {"__init__"}
        assert declared == actual, name


def test_command_line_tool_type_checks_against_the_stubs(tmp_path):
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "-p", "qelmo_cli"]
    result = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
