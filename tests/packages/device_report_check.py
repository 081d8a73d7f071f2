"""Checks what an install of qelmo or qelmo-gpu does on this machine, run
with the interpreter of the virtual environment under test (by
scripts/test_gpu_packages.sh):
  - the files of the distributions named by --intact are as their RECORD
    says (nothing overwritten or deleted by another install);
  - a CPU session maps no CUDA library;
  - the tool's device report names the ONNX Runtime library expected, the
    reason expected for the CPU fallback, and prints no ONNX Runtime log;
    --version names the distribution, the ONNX Runtime build and the
    library loaded; with both qelmo and qelmo-gpu installed both say so, with
    what to uninstall;
  - nothing is written to the user's home.
Prints one line per check and a closing "N passed, N failed" line."""

import argparse
import base64
import csv
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

CPU_ONLY = textwrap.dedent(
    """
    import os, numpy as np, qelmo, qelmo_cli
    path = os.path.join(os.path.dirname(qelmo_cli.__file__), "sample.onnx")
    session = qelmo.QelmoSession(qelmo.QelmoModel(path), qelmo.CPU)
    session.set_input("features", qelmo.QelmoValue(np.ones((1, 4), np.float32)))
    session.evaluate()
    mapped = open("/proc/self/maps").read()
    for name in ("libonnxruntime_providers_cuda", "libcuda.so", "libcudart", "libcublas", "libcudnn"):
        print(name, name in mapped)
    """
)


def record_mismatches(name: str) -> tuple:
    """(files checked, files not as the distribution's RECORD says)."""
    from importlib import metadata

    distribution = metadata.distribution(name)
    checked, wrong = 0, []
    for row in csv.reader((distribution.read_text("RECORD") or "").splitlines()):
        if len(row) < 3 or "=" not in row[1]:
            continue  # RECORD itself and the bytecode pip compiled have no hash
        algorithm, expected = row[1].split("=", 1)
        path = str(distribution.locate_file(row[0]))
        checked += 1
        try:
            digest = hashlib.new(algorithm)
            with open(path, "rb") as file:
                for block in iter(lambda: file.read(1 << 20), b""):
                    digest.update(block)
        except OSError:
            wrong.append(row[0] + " (missing)")
            continue
        if base64.urlsafe_b64encode(digest.digest()).rstrip(b"=").decode() != expected:
            wrong.append(row[0])
    return checked, wrong


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--library-version", required=True, help="the libonnxruntime.so.VERSION the runtime must load")
    parser.add_argument("--reason", required=True, help="text the GPU fallback's reason must contain")
    parser.add_argument("--overwritten", action="store_true", help="the report must warn of overwritten GPU files")
    parser.add_argument("--distribution", default="qelmo", help="the qelmo distribution --version must name")
    parser.add_argument("--build", default="onnxruntime", help="the ONNX Runtime build --version must name")
    parser.add_argument("--both-installed", action="store_true", help="qelmo and qelmo-gpu are both installed")
    parser.add_argument("--intact", nargs="*", default=[], help="distributions whose files must match their RECORD")
    options = parser.parse_args()

    home = tempfile.mkdtemp(prefix="qelmo-home-")
    env = dict(os.environ, HOME=home, XDG_CACHE_HOME=os.path.join(home, "cache"))
    tool = os.path.join(os.path.dirname(sys.executable), "qelmo")
    results = []

    def check(name: str, ok: bool, detail: str = "") -> None:
        results.append(ok)
        print(f"  {'ok  ' if ok else 'FAIL'} {name}" + ("" if ok else f": {detail}"))

    for name in options.intact:
        checked, wrong = record_mismatches(name)
        check(f"the {checked} files of {name} match its RECORD", checked > 0 and not wrong, wrong[:5])

    cpu = subprocess.run([sys.executable, "-c", CPU_ONLY], env=env, capture_output=True, text=True)
    mapped = [line.split()[0] for line in cpu.stdout.splitlines() if line.endswith(" True")]
    check("a CPU session maps no CUDA library", cpu.returncode == 0 and not mapped, cpu.stderr or f"mapped {mapped}")

    report_path = os.path.join(home, "..", os.path.basename(home) + "-run.json")
    run = subprocess.run([tool, "run", "--device", "gpu", "--json", report_path], env=env, capture_output=True, text=True)
    both = "warning: both qelmo " in run.stderr and "\n  pip uninstall -y qelmo qelmo-gpu " in run.stderr
    if options.both_installed:
        print("    " + run.stderr.strip().replace("\n", "\n    "))
        check("qelmo run --device gpu succeeds, warning of both installed, with what to uninstall",
              run.returncode == 0 and both, run.stderr)
    else:
        check("qelmo run --device gpu succeeds without output on stderr", run.returncode == 0 and run.stderr == "", run.stderr)
    device_lines = [line for line in run.stdout.splitlines() if line.startswith("device:") or line.startswith("  ")]
    print("    " + "\n    ".join(device_lines))
    check("the report gives the reason", options.reason in run.stdout, run.stdout)
    warned = "files of the onnxruntime-gpu package were overwritten" in run.stdout
    check("overwritten files are named" if options.overwritten else "no overwritten files", warned == options.overwritten)
    if os.path.exists(report_path):
        report = json.load(open(report_path))
        os.unlink(report_path)
        library = report["environment"].get("onnxruntime_library") or ""
        check(f"the library loaded is libonnxruntime.so.{options.library_version}",
              os.path.basename(library) == f"libonnxruntime.so.{options.library_version}", library)
        check("the JSON report says the session ran on the CPU", report["device"]["used"] == "cpu", str(report["device"]))
    else:
        check("the JSON report was written", False)

    version = subprocess.run([tool, "--version"], env=env, capture_output=True, text=True)
    first = version.stdout.split("\n", 1)[0]
    print("    " + first)
    check(f"--version names {options.distribution}, {options.build} and the library loaded",
          first.startswith(f"{options.distribution} ") and f"({options.build} {options.library_version} from " in first,
          version.stdout + version.stderr)
    check("--version warns of both installed" if options.both_installed else "--version warns of nothing",
          ("warning: both qelmo " in version.stdout) == options.both_installed, version.stdout)

    left = [os.path.join(folder, name) for folder, folders, files in os.walk(home) for name in folders + files]
    check("nothing was written to the home folder", not left, str(left))
    shutil.rmtree(home, ignore_errors=True)
    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
