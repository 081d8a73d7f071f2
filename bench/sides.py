"""The two contenders, each set up once and returned as a call that does what
a user does on every evaluation."""

import numpy as np
import onnxruntime as ort

import qelmo


def qelmo_call(path, inputs):
    """Wraps and stages every input, evaluates, and takes every output array."""
    session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)

    def call():
        for name, array in inputs.items():
            session.set_input(name, qelmo.QelmoValue(array))
        return {name: value.to_numpy() for name, value in session.evaluate().items()}

    return call


def peer_call(path, inputs, threads=None):
    """InferenceSession.run on the same inputs; `threads` sets the intra-op
    thread count (None: the library's default)."""
    options = ort.SessionOptions()
    if threads is not None:
        options.intra_op_num_threads = threads
    session = ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])
    names = [output.name for output in session.get_outputs()]

    def call():
        return session.run(None, inputs)

    call.output_names = names
    return call


def check_same_outputs(case, qelmo_side, peer_side):
    """Raises AssertionError unless both sides give the same outputs."""
    ours = qelmo_side()
    theirs = dict(zip(peer_side.output_names, peer_side()))
    if sorted(ours) != sorted(theirs):
        raise AssertionError(f"{case}: qelmo gave outputs {sorted(ours)}, the peer {sorted(theirs)}")
    for name, expected in theirs.items():
        np.testing.assert_allclose(ours[name], expected, rtol=1e-5, atol=1e-6, err_msg=f"{case}: output {name}")
