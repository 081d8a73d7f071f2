"""Benchmarks qelmo against onnxruntime's own Python API on the same models.

    python bench/run.py [--quick] [--out bench/results]

Needs the `bench` extra (pip install .[bench]). Builds its models in a
temporary folder, times both sides in interleaved rounds, prints Markdown
tables (median, 10th and 90th percentiles, qelmo/peer ratios) and writes
them with a plot of the big-tensor sweep into --out.
"""

import argparse
import datetime
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# The peer, onnxruntime's Python module, would write telemetry under the
# user's cache folder.
os.environ.setdefault("ORT_DISABLE_TELEMETRY", "1")

import cases  # noqa: E402
import report  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds and sizes, for a smoke run")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results"))
    parser.add_argument("--only", nargs="*", choices=["overhead", "compute", "big", "inspection", "memory"],
                        help="run these groups only")
    args = parser.parse_args()
    groups = set(args.only or ["overhead", "compute", "big", "inspection", "memory"])
    rounds = 9 if args.quick else 41
    os.makedirs(args.out, exist_ok=True)

    started = time.monotonic()
    sections = [f"Machine: {report.machine()}", f"Run: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC"]
    rows = []
    with tempfile.TemporaryDirectory(prefix="qelmo-bench-") as folder:
        if "overhead" in groups:
            rows += cases.call_overhead(folder, rounds)
        if "compute" in groups:
            rows += cases.compute(folder, rounds if not args.quick else 5)
        if "inspection" in groups:
            rows += cases.inspection(folder, 3 if args.quick else 7)
        if rows:
            sections.append(report.main_table(rows))
        if "big" in groups:
            sizes = cases.BIG_SIZES[:6] if args.quick else cases.BIG_SIZES
            _, points = cases.big_tensors(folder, rounds, sizes)
            sections.append(report.big_table(points, cases.size_label))
            plot_path = os.path.join(args.out, "big_tensors.png")
            report.plot(points, plot_path)
            sections.append(f"Plot: {os.path.relpath(plot_path)}")
        if "memory" in groups:
            evaluations = 20_000 if args.quick else 100_000
            before, after = cases.memory(folder, evaluations)
            sections.append(f"Resident memory over {evaluations:,} tiny evaluations: {before:,} KiB after "
                            f"warm-up, {after:,} KiB at the end ({after - before:+,} KiB).")
    sections.append(f"Ratio: qelmo median / peer median (below 1: qelmo is faster). "
                    f"Took {time.monotonic() - started:.0f} s.")
    text = "\n\n".join(sections) + "\n"
    print(text)
    with open(os.path.join(args.out, "results.md"), "w", encoding="utf-8") as out:
        out.write(text)


if __name__ == "__main__":
    main()
