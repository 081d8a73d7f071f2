"""Memory of making a session over a big model, qelmo against onnxruntime's
own Python API, each side alone in a fresh process.

    python bench/session_memory.py [--rounds 3] [--sizes 200 1024] [--repeats 50 5000] [--out bench/results]

For each model (one MatMul over a float32 initializer of the given size in
MiB, written into a temporary folder; and, for --repeats N, N initializers
whose data is the same megabyte of one external file, each reduced by
ReduceMax) every round starts one child per side, the sides alternating. A
child makes a session, evaluates once and reports its resident memory after
the session is made, its peak resident memory and the time from its start
to the first result. The table gives medians over the rounds and
qelmo/peer ratios. A model qelmo refuses shows as refused, with the peak of
the process that was refused.
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROWS = 4096  # the input's width; the initializer is ROWS x columns


def write_model(path, mebibytes, seed=0):
    import numpy as np
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    columns = mebibytes * (1 << 20) // (4 * ROWS)
    w = np.random.default_rng(seed).standard_normal((ROWS, columns), dtype=np.float32)
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["x", "w"], ["y"])],
        "session_memory",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, ROWS])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, columns])],
        initializer=[numpy_helper.from_array(w, "w")],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], producer_name="bench")
    model.ir_version = 8
    del w, graph
    onnx.save(model, path)


def write_repeats_model(path, count):
    """y = x + the sum of ReduceMax over `count` initializers that all keep their
    data in the same megabyte of w.bin beside the model."""
    import numpy as np
    import onnx
    from onnx import TensorProto, helper

    values = np.ones(1 << 18, np.float32)
    with open(os.path.join(os.path.dirname(path), "w.bin"), "wb") as weights:
        weights.write(values.tobytes())
    tensors = []
    for i in range(count):
        tensor = onnx.TensorProto(name=f"w{i}", data_type=TensorProto.FLOAT, dims=[values.size])
        tensor.data_location = TensorProto.EXTERNAL
        for key, value in (("location", "w.bin"), ("offset", "0"), ("length", str(values.nbytes))):
            entry = tensor.external_data.add()
            entry.key, entry.value = key, value
        tensors.append(tensor)
    nodes = [helper.make_node("ReduceMax", [f"w{i}"], [f"r{i}"], keepdims=0) for i in range(count)]
    nodes += [helper.make_node("Sum", [f"r{i}" for i in range(count)], ["s"]), helper.make_node("Add", ["x", "s"], ["y"])]
    graph = helper.make_graph(nodes, "repeats", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, ROWS])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, ROWS])], initializer=tensors)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], producer_name="bench")
    model.ir_version = 8
    onnx.save(model, path)


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def peak_bytes():
    # VmHWM is this process's own peak. ru_maxrss also counts the peak of the
    # process that started it (Linux carries it over exec), which is why the
    # models are written by a process of their own, keeping both equal.
    return max(status_bytes("VmHWM"), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)


def child(side, path, spawned):
    """Runs in the child: one session, one evaluation, figures as JSON."""
    import numpy as np

    x = np.random.default_rng(1).standard_normal((1, ROWS), dtype=np.float32)
    if side == "qelmo":
        import qelmo

        try:
            model = qelmo.QelmoModel(path)
        except RuntimeError as error:
            print(json.dumps({"refused": error.__notes__[0], "peak": peak_bytes(),
                              "first_result": time.monotonic() - spawned}))
            return
        session = qelmo.QelmoSession(model, qelmo.CPU)
        after_session = status_bytes("VmRSS")
        session.set_input("x", qelmo.QelmoValue(x))
        y = session.evaluate()["y"].to_numpy()
    else:
        import onnxruntime

        session = onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"])
        after_session = status_bytes("VmRSS")
        y = session.run(None, {"x": x})[0]
    first_result = time.monotonic() - spawned
    peak = peak_bytes()
    print(json.dumps({"after_session": after_session, "peak": peak, "first_result": first_result,
                      "checksum": float(np.abs(y).sum(dtype=np.float64))}))


def run_child(side, path):
    env = dict(os.environ, ORT_DISABLE_TELEMETRY="1")
    spawned = time.monotonic()  # CLOCK_MONOTONIC is the same clock in the child
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", side, path, repr(spawned)],
                          env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"the {side} child failed ({done.returncode}):\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def mib(size):
    return f"{size / (1 << 20):,.0f} MiB"


def table(results):
    lines = [
        "| model | side | RSS after session | peak RSS | start to first result |",
        "|---|---|---:|---:|---:|",
    ]
    for label, sides in results:
        median = {side: {key: statistics.median(run[key] for run in runs) if key != "refused" else runs[0][key]
                         for key in runs[0]} for side, runs in sides.items()}
        for side in ("qelmo", "peer"):
            m = median[side]
            after = "refused at loading" if "refused" in m else mib(m["after_session"])
            lines.append(f"| {label} | {side} | {after} | {mib(m['peak'])} | {m['first_result']:.2f} s |")
        q, p = median["qelmo"], median["peer"]
        after = "" if "refused" in q else f"**{q['after_session'] / p['after_session']:.2f}**"
        lines.append(f"| {label} | qelmo / peer | {after} | **{q['peak'] / p['peak']:.2f}** | "
                     f"**{q['first_result'] / p['first_result']:.2f}** |")
        if "refused" in q:
            lines.append(f"\n{label}: qelmo said: {q['refused']}\n")
    return "\n".join(lines)


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], float(sys.argv[4]))
        return
    if len(sys.argv) == 4 and sys.argv[1] in ("--write", "--write-repeats"):
        (write_model if sys.argv[1] == "--write" else write_repeats_model)(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--sizes", type=int, nargs="*", default=[200, 1024], help="initializer sizes in MiB")
    parser.add_argument("--repeats", type=int, nargs="*", default=[50, 5000],
                        help="counts of initializers naming the same megabyte of an external file")
    parser.add_argument("--out", help="also write the table into this folder (session_memory.md)")
    args = parser.parse_args()

    results = []
    with tempfile.TemporaryDirectory(prefix="qelmo-session-memory-") as folder:
        cases = [("--write", size, f"matmul_{size}.onnx", f"MatMul, {size} MiB weights") for size in args.sizes]
        cases += [("--write-repeats", count, f"repeats_{count}.onnx", f"{count:,} initializers naming one MiB")
                  for count in args.repeats]
        for writer, number, name, label in cases:
            path = os.path.join(folder, name)
            subprocess.run([sys.executable, os.path.abspath(__file__), writer, path, str(number)], check=True)
            sides = {"qelmo": [], "peer": []}
            for turn in range(args.rounds):
                order = ("qelmo", "peer") if turn % 2 == 0 else ("peer", "qelmo")
                for side in order:
                    sides[side].append(run_child(side, path))
            checksums = [run["checksum"] for runs in sides.values() for run in runs if "checksum" in run]
            if max(checksums) - min(checksums) > 1e-4 * max(checksums):
                raise AssertionError(f"{label}: the sides give different results: {checksums}")
            results.append((label, sides))
            os.remove(path)
    text = (f"Each side alone in a fresh process, medians of {args.rounds} rounds; ratios are qelmo over "
            f"the peer.\n\n{table(results)}\n")
    print(text)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "session_memory.md"), "w", encoding="utf-8") as out:
            out.write(text)


if __name__ == "__main__":
    main()
