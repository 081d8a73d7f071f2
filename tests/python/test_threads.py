"""Threads: per-thread sessions, one shared session, and models and sessions
made and dropped away from the importing thread. Each scenario runs in a
child interpreter with a time limit, so a deadlock fails the test instead of
hanging the suite, and a crash shows as an exit code."""

import subprocess
import sys
import textwrap

import eval_models

TIME_LIMIT = 120


def run_child(source, *args):
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=TIME_LIMIT,
    )
    assert child.returncode == 0, child.stderr
    assert child.stderr == ""
    return child.stdout


WORKERS = """
import sys, threading
import numpy as np
import qelmo

path = sys.argv[1]
failures = []

def guarded(work):
    def run(*args):
        try:
            work(*args)
        except BaseException as error:  # reported by the main thread
            failures.append(repr(error))
    return run

def join_all(threads):
    for t in threads:
        t.start()
    for t in threads:
        t.join()
"""


def test_own_sessions_and_one_shared_session_at_once(tmp_path):
    path = eval_models.binary(tmp_path / "add.onnx", "Add", shape=(64,))
    out = run_child(
        WORKERS
        + """
shared_model = qelmo.QelmoModel(path)
shared = qelmo.QelmoSession(shared_model, qelmo.CPU)
fixed = np.arange(64, dtype=np.float32)
shared.set_input("a", qelmo.QelmoValue(fixed))
shared.set_input("b", qelmo.QelmoValue(fixed))

@guarded
def own_session(seed):
    # Model and session made on this thread, never seen by another.
    session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
    rng = np.random.default_rng(seed)
    for _ in range(200):
        a = rng.standard_normal(64).astype(np.float32)
        b = rng.standard_normal(64).astype(np.float32)
        session.set_input("a", qelmo.QelmoValue(a))
        session.set_input("b", qelmo.QelmoValue(b))
        got = session.evaluate()["y"].to_numpy()
        assert np.array_equal(got, a + b), "wrong sum on an own session"

@guarded
def shared_session():
    # Inputs were staged once; concurrent evaluations all see them.
    for _ in range(200):
        got = shared.evaluate()["y"].to_numpy()
        assert np.array_equal(got, fixed + fixed), "wrong sum on the shared session"

threads = [threading.Thread(target=own_session, args=(i,)) for i in range(4)]
threads += [threading.Thread(target=shared_session) for _ in range(4)]
join_all(threads)
print(failures or "ok")
""",
        path,
    )
    assert out.strip() == "ok"


def test_models_and_sessions_made_and_dropped_off_the_importing_thread(tmp_path):
    path = eval_models.identity(tmp_path / "identity.onnx", shape=(2, 3))
    out = run_child(
        WORKERS
        + """
handed_over = []
lock = threading.Lock()

@guarded
def churn(keep):
    x = np.ones((2, 3), np.float32)
    for i in range(50):
        model = qelmo.QelmoModel(path)
        session = qelmo.QelmoSession(model, qelmo.CPU)
        session.set_input("x", qelmo.QelmoValue(x * i))
        assert np.array_equal(session.evaluate()["y"].to_numpy(), x * i)
        if keep and i % 10 == 0:
            with lock:  # dropped later, by the main thread
                handed_over.append((model, session))
        del session, model

# The first use of the runtime happens on a worker, not on the importing thread.
join_all([threading.Thread(target=churn, args=(i % 2 == 0,)) for i in range(4)])
# Objects made on threads that have ended still work and drop here.
for model, session in handed_over:
    assert session.evaluate()["y"].to_numpy().shape == (2, 3)
handed_over.clear()
print(failures or "ok")
""",
        path,
    )
    assert out.strip() == "ok"


PINNED = """
import json, os, sys
cpus = json.loads(sys.argv[1])
# Threads already there besides this one (an emulator's own, under qemu)
# are not started by anything pinned here.
foreign = set(os.listdir("/proc/self/task")) - {str(os.getpid())}
if cpus is not None:
    os.sched_setaffinity(0, cpus)  # before any other thread starts
import numpy as np
import qelmo
from qelmo_cli.runtime_report import runtime_report
from qelmo_cli.sample import SAMPLE_MODEL_PATH

before = len(set(os.listdir("/proc/self/task")) - foreign)
session = qelmo.QelmoSession(qelmo.QelmoModel(SAMPLE_MODEL_PATH), qelmo.CPU)
session.set_input("features", qelmo.QelmoValue(np.zeros((4096, 4), np.float32)))
session.evaluate()
threads = [sorted(os.sched_getaffinity(int(tid))) for tid in os.listdir("/proc/self/task") if tid not in foreign]
pool = runtime_report()["onnxruntime"]["intra_op_threads"]
print(json.dumps({"pool": pool, "started": len(threads) - before, "threads": threads}))
"""


def test_the_thread_pool_is_sized_to_the_cpus_the_process_may_use():
    import json
    import os

    import pytest

    allowed = sorted(os.sched_getaffinity(0))
    if len(allowed) < 2 or len(allowed) < os.cpu_count():
        pytest.skip("needs an unpinned process on a machine of two CPUs or more")
    unpinned = json.loads(run_child(PINNED, "null"))
    assert unpinned["pool"] == 0  # ONNX Runtime's own default stands
    # Pinned to one CPU: a pool of one thread (the caller's), so fewer
    # threads started, and none of the process's threads runs elsewhere.
    pinned = json.loads(run_child(PINNED, json.dumps([allowed[-1]])))
    assert pinned["pool"] == 1
    assert pinned["started"] < unpinned["started"]
    assert all(cpus == [allowed[-1]] for cpus in pinned["threads"])
