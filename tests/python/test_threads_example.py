"""examples/session_threads.py: the two ways it recommends to use threads
never hand a thread the other thread's result."""

import os
import sys
import threading

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "examples"))
import session_threads  # noqa: E402

sys.path.pop(0)


@pytest.mark.parametrize("shared, lock", [(False, None), (True, threading.Lock())], ids=["own sessions", "shared with a lock"])
def test_recommended_patterns_give_every_thread_its_own_result(shared, lock):
    # Frequent thread switches, so that an unguarded pattern would show.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        assert session_threads.wrong_results(3000, shared=shared, lock=lock) == 0
    finally:
        sys.setswitchinterval(previous)
