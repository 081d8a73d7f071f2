"""qelmo writes nothing to the user's home and switches ONNX Runtime's
telemetry off: every use, from Python and from the tool, leaves an empty
home and cache folder behind."""

import os
import subprocess
import sys
import textwrap

import numpy as np
from onnx import numpy_helper

from models import identity_model

EVERY_USE = textwrap.dedent(
    """
    import sys
    import numpy as np
    import qelmo
    model = qelmo.QelmoModel(sys.argv[1])
    for device in (qelmo.CPU, qelmo.GPU):
        session = qelmo.QelmoSession(model, device)
        session.set_input("x", qelmo.QelmoValue(np.ones((2, 3), np.float32)))
        session.evaluate()
        session.set_input("x", qelmo.QelmoValue(np.ones((5, 5), np.float32)))
        try:
            session.evaluate()
        except RuntimeError:
            pass
        else:
            raise SystemExit("the wrong shape was accepted")
    try:
        qelmo.QelmoModel(sys.argv[0])
    except RuntimeError:
        pass
    """
)


def empty_home_environment(home):
    env = dict(os.environ, HOME=str(home), XDG_CACHE_HOME=str(home / "cache"))
    env.pop("ORT_DISABLE_TELEMETRY", None)
    return env


def left_behind(home):
    return sorted(str(path.relative_to(home)) for path in home.rglob("*"))


def test_nothing_is_written_to_home_from_python_or_the_tool(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    model = identity_model(tmp_path / "model.onnx")
    data_set = tmp_path / "test_data_set_0"
    data_set.mkdir()
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    for name in ("input_0.pb", "output_0.pb"):
        (data_set / name).write_bytes(numpy_helper.from_array(array).SerializeToString())
    env = empty_home_environment(home)
    script = tmp_path / "every_use.py"
    script.write_text(EVERY_USE)
    tool = [sys.executable, "-m", "qelmo_cli"]
    runs = [
        [sys.executable, str(script), str(model)],
        tool + ["run", str(model), "--device", "gpu"],
        tool + ["bench", str(model), "--repeat", "3", "--warmup", "1"],
        tool + ["check", str(model), str(data_set)],
        tool + ["--version"],
    ]
    for argv in runs:
        done = subprocess.run(argv, env=env, cwd=tmp_path, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, (argv, done.stdout, done.stderr)
        assert left_behind(home) == [], argv


def test_a_users_own_telemetry_setting_is_left_as_it_is(tmp_path, identity_path):
    home = tmp_path / "home"
    home.mkdir()
    # The process environment as C code sees it (os.environ is a copy taken at start-up).
    code = (
        "import ctypes, qelmo, sys; qelmo.QelmoSession(qelmo.QelmoModel(sys.argv[1]), qelmo.CPU); "
        "getenv = ctypes.CDLL(None).getenv; getenv.restype = ctypes.c_char_p; "
        "print((getenv(b'ORT_DISABLE_TELEMETRY') or b'unset').decode())"
    )
    for setting in ("0", "1", None):
        env = empty_home_environment(home)
        if setting is not None:
            env["ORT_DISABLE_TELEMETRY"] = setting
        done = subprocess.run([sys.executable, "-c", code, str(identity_path)], env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        # The runtime sets it for ONNX Runtime only when the user did not.
        assert done.stdout.strip() == (setting or "1")
