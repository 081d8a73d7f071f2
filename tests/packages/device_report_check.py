"""Checks what a GPU user's install of qelmo does on this machine, run with
the interpreter of the virtual environment under test (by
scripts/test_gpu_packages.sh):
  - a CPU session maps no CUDA library;
  - the tool's device report names the ONNX Runtime library expected, the
    reason expected for the CPU fallback, and prints no ONNX Runtime log;
  - nothing is written to the user's home.
Prints one line per check and a closing "N passed, N failed" line."""

import argparse
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


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--library-version", required=True, help="the libonnxruntime.so.VERSION the runtime must load")
    parser.add_argument("--reason", required=True, help="text the GPU fallback's reason must contain")
    parser.add_argument("--overwritten", action="store_true", help="the report must warn of overwritten GPU files")
    options = parser.parse_args()

    home = tempfile.mkdtemp(prefix="qelmo-home-")
    env = dict(os.environ, HOME=home, XDG_CACHE_HOME=os.path.join(home, "cache"))
    tool = os.path.join(os.path.dirname(sys.executable), "qelmo")
    results = []

    def check(name: str, ok: bool, detail: str = "") -> None:
        results.append(ok)
        print(f"  {'ok  ' if ok else 'FAIL'} {name}" + ("" if ok else f": {detail}"))

    cpu = subprocess.run([sys.executable, "-c", CPU_ONLY], env=env, capture_output=True, text=True)
    mapped = [line.split()[0] for line in cpu.stdout.splitlines() if line.endswith(" True")]
    check("a CPU session maps no CUDA library", cpu.returncode == 0 and not mapped, cpu.stderr or f"mapped {mapped}")

    report_path = os.path.join(home, "..", os.path.basename(home) + "-run.json")
    run = subprocess.run([tool, "run", "--device", "gpu", "--json", report_path], env=env, capture_output=True, text=True)
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
    print("    " + version.stdout.strip())
    check("--version names the library loaded", f"onnxruntime {options.library_version} from " in version.stdout, version.stdout + version.stderr)

    left = [os.path.join(folder, name) for folder, folders, files in os.walk(home) for name in folders + files]
    check("nothing was written to the home folder", not left, str(left))
    shutil.rmtree(home, ignore_errors=True)
    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
