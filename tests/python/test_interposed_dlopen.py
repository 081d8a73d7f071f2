"""A sanitizer runtime preloaded into the interpreter intercepts dlopen, so
the runtime library must be found without relying on which object calls
dlopen (the loader only reads the caller's RUNPATH)."""

import os
import subprocess
import sys

import pytest


def libasan():
    try:
        path = subprocess.run(["gcc", "-print-file-name=libasan.so"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return None
    return path if os.path.isabs(path) and os.path.exists(path) else None


@pytest.mark.skipif(libasan() is None, reason="needs gcc's AddressSanitizer runtime")
def test_models_load_and_evaluate_with_a_preloaded_sanitizer(identity_path):
    script = (
        "import sys, numpy as np, qelmo\n"
        "s = qelmo.QelmoSession(qelmo.QelmoModel(sys.argv[1]), qelmo.CPU)\n"
        "s.set_input('x', qelmo.QelmoValue(np.ones((2, 3), np.float32)))\n"
        "print(s.evaluate()['y'].to_numpy().sum())\n"
    )
    env = dict(os.environ, LD_PRELOAD=libasan(), ASAN_OPTIONS="detect_leaks=0")
    child = subprocess.run([sys.executable, "-c", script, identity_path], capture_output=True, text=True,
                           env=env, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "6.0"
