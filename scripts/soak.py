"""Soak: many evaluations, then many model and session lifetimes, with
resident memory printed as it goes. Memory must stay flat after warm-up; the
script exits 1 when either phase grows by more than the tolerance.

    python scripts/soak.py [--evaluations 1000000] [--lifetimes 10000]
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

# The same small model and memory reading as the 100,000-evaluation check.
from memory_check import resident_kib
from memory_check import small_model as write_model

import qelmo


class Phase:
    """Prints resident memory every `every` steps and checks growth after warm-up."""

    def __init__(self, name, total, every, warm_up):
        self.name, self.total, self.every, self.warm_up = name, total, every, warm_up
        self.start = time.monotonic()
        self.baseline = None
        self.last = resident_kib()
        print(f"{name}: {total} steps, resident {self.last} KiB at start", flush=True)

    def step(self, done):
        if done == self.warm_up:
            self.baseline = resident_kib()
        if done % self.every == 0 or done == self.total:
            self.last = resident_kib()
            rate = done / max(time.monotonic() - self.start, 1e-9)
            print(f"  {done:>9} {self.last:>9} KiB  ({rate:,.0f}/s)", flush=True)

    def growth(self):
        return self.last - (self.baseline if self.baseline is not None else self.last)


def evaluations(path, total, every):
    model = qelmo.QelmoModel(path)
    session = qelmo.QelmoSession(model, qelmo.CPU)
    rng = np.random.default_rng(0)
    x = rng.standard_normal((4, 16)).astype(np.float32)
    b = rng.standard_normal(16).astype(np.float32)
    expected = np.maximum(x, 0) + b
    phase = Phase("evaluations", total, every, warm_up=min(every, total))
    for done in range(1, total + 1):
        session.set_input("x", qelmo.QelmoValue(x))
        session.set_input("b", qelmo.QelmoValue(b))
        outputs = session.evaluate()
        if done % every == 0 and not np.allclose(outputs["y"].to_numpy(), expected):
            raise SystemExit("wrong result during the soak")
        phase.step(done)
    return phase.growth()


def lifetimes(path, total, every):
    x = np.ones((4, 16), np.float32)
    b = np.zeros(16, np.float32)
    phase = Phase("model and session lifetimes", total, every, warm_up=min(every, total))
    for done in range(1, total + 1):
        session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
        session.set_input("x", qelmo.QelmoValue(x))
        session.set_input("b", qelmo.QelmoValue(b))
        session.evaluate()
        del session
        phase.step(done)
    return phase.growth()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--evaluations", type=int, default=1_000_000)
    parser.add_argument("--lifetimes", type=int, default=10_000)
    parser.add_argument("--tolerance-kib", type=int, default=4096, help="growth allowed after warm-up, per phase")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "soak.onnx")
        write_model(path)
        grown = {
            "evaluations": evaluations(path, args.evaluations, max(args.evaluations // 20, 1)),
            "lifetimes": lifetimes(path, args.lifetimes, max(args.lifetimes // 20, 1)),
        }
    for name, growth in grown.items():
        print(f"{name}: {growth:+} KiB after warm-up")
    if any(growth > args.tolerance_kib for growth in grown.values()):
        sys.exit(1)


if __name__ == "__main__":
    main()
