"""Interpreter exit with qelmo objects alive at any point: exit code 0 and
nothing on stderr. Each case is its own child interpreter, time-limited so a
hang at exit fails."""

import subprocess
import sys
import textwrap

import pytest

import eval_models

SETUP = """
import sys, threading, atexit
import numpy as np
import qelmo
path = sys.argv[1]
"""

LIVE_OBJECTS = """
model = qelmo.QelmoModel(path)
session = qelmo.QelmoSession(model, qelmo.CPU)
staged = qelmo.QelmoValue(np.ones((2, 3), np.float32))
session.set_input("x", staged)
outputs = session.evaluate()
"""

CASES = {
    "imported_only": "",
    "model_only": "model = qelmo.QelmoModel(path)",
    "everything_alive_at_the_end": LIVE_OBJECTS,
    "sys_exit_inside_a_function": """
def work():
    m = qelmo.QelmoModel(path)
    s = qelmo.QelmoSession(m, qelmo.CPU)
    s.set_input("x", qelmo.QelmoValue(np.ones((2, 3), np.float32)))
    out = s.evaluate()
    sys.exit(0)
work()
""",
    # Reference cycles are only collected during finalisation.
    "objects_in_a_cycle": LIVE_OBJECTS
    + """
class Holder: pass
h = Holder(); h.me = h; h.objects = (model, session, staged, outputs)
del model, session, staged, outputs, h
""",
    "atexit_handler_uses_qelmo": LIVE_OBJECTS
    + """
atexit.register(lambda: session.evaluate()["y"].to_numpy())
""",
    "daemon_threads_still_evaluating": LIVE_OBJECTS
    + """
started = threading.Barrier(3)
def spin():
    s = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
    s.set_input("x", qelmo.QelmoValue(np.ones((2, 3), np.float32)))
    started.wait()
    while True:
        s.evaluate()
for _ in range(2):
    threading.Thread(target=spin, daemon=True).start()
started.wait()
""",
    "worker_thread_outlives_the_main_thread": """
def late():
    import time
    time.sleep(0.3)
    s = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
    s.set_input("x", qelmo.QelmoValue(np.ones((2, 3), np.float32)))
    s.evaluate()
threading.Thread(target=late).start()
""",
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_exit_is_clean(tmp_path, case):
    path = eval_models.identity(tmp_path / "identity.onnx", shape=(2, 3))
    child = subprocess.run(
        [sys.executable, "-c", SETUP + textwrap.dedent(CASES[case]), path],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (child.returncode, child.stderr) == (0, "")
