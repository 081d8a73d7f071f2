"""`qelmo bench` and the timed part of `qelmo run`: figures, JSON reports,
worker processes, and the device a session really ran on."""

import json
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import onnx
import onnxruntime
import pytest

from cli_support import run_cli
from qelmo_cli import devices
from qelmo_cli.timing import INTERRUPTED_NOTE, Limits, TimedRuns, figures, format_duration, joined_figures, latency_line, time_runs

ONNX_DATA = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data")
LATENCY_KEYS = {"min", "p50", "p90", "p99", "max", "mean"}


@pytest.mark.parametrize(
    "seconds, shown",
    [(4.2e-7, "420 ns"), (7.67e-6, "7.67 µs"), (4.78e-5, "47.8 µs"), (1.06e-3, "1.06 ms"), (0.1163, "116 ms"), (12.5, "12.5 s")],
)
def test_durations_take_the_unit_that_fits(seconds, shown):
    assert format_duration(seconds) == shown


def test_latency_figures_and_their_line():
    result = figures([0.003, 0.001, 0.002, 0.004], wall=0.02)
    assert result.runs == 4 and result.runs_per_second == pytest.approx(200)
    assert result.latency["min"] == 0.001 and result.latency["max"] == 0.004
    assert result.latency["p50"] == pytest.approx(0.0025) and result.latency["mean"] == pytest.approx(0.0025)
    assert latency_line(result) == "latency over 4 runs (ms): min 1.00  p50 2.50  p90 3.70  p99 3.97  max 4.00  mean 2.50"


def test_processes_are_joined_over_their_common_window():
    first = TimedRuns([0.1] * 10, wall=1.0, started=100.0, ended=101.0)
    second = TimedRuns([0.2] * 5, wall=1.0, started=100.5, ended=101.5)
    joined = joined_figures([first, second])
    assert joined.runs == 15 and joined.wall == pytest.approx(1.5) and joined.runs_per_second == pytest.approx(10)


def check_report(report, command, device=("cpu", "cpu")):
    environment = report["environment"]
    assert environment["numpy"] == np.__version__ and environment["onnxruntime"] == onnxruntime.__version__
    assert environment["qelmo"] and environment["python"] and environment["cpu_count"] >= 1
    assert report["command"] == command
    assert (report["device"]["requested"], report["device"]["used"]) == device and report["device"]["reason"]
    timing = report["timing"]
    assert set(timing["latency_s"]) == LATENCY_KEYS and timing["runs_per_second"] > 0
    assert timing["latency_s"]["min"] <= timing["latency_s"]["p50"] <= timing["latency_s"]["max"]


def test_bench_on_light_resnet50_writes_every_figure(tmp_path, capsys):
    path = os.path.join(ONNX_DATA, "light", "light_resnet50.onnx")
    report_path = tmp_path / "bench.json"
    code, out, err = run_cli(capsys, "bench", path, "--warmup", "1", "--repeat", "3", "--json", report_path)
    assert code == 0, err
    assert "input:      gpu_0/data_0: float32 [1, 3, 224, 224] (random normal, seed 0)" in out
    assert "runs:       1 warm-up, then until 3 runs; this process" in out
    assert re.search(r"^throughput: [\d.,]+ runs/s \(3 runs in ", out, re.M)
    report = json.loads(report_path.read_text())
    check_report(report, "bench")
    assert report["model"] == {"path": path, "name": "resnet50"}
    assert report["inputs"] == [{"name": "gpu_0/data_0", "shape": [1, 3, 224, 224], "dtype": "float32", "source": "random normal, seed 0"}]
    assert report["timing"]["runs"] == 3 and report["limits"] == {"warmup": 1, "repeat": 3, "seconds": None}


def test_bench_stops_at_the_time_limit(capsys):
    code, out, err = run_cli(capsys, "bench", "--warmup", "0", "--time", "0.2")
    assert code == 0, err
    assert "then until 0.2 s" in out
    runs = int(re.search(r"\((\d+) runs in", out).group(1))
    assert runs > 1


def test_bench_in_two_processes(tmp_path, capsys):
    report_path = tmp_path / "bench.json"
    code, out, err = run_cli(capsys, "bench", "--processes", "2", "--repeat", "50", "--json", report_path)
    assert code == 0, err
    assert "2 processes, each with its own session" in out
    assert out.count("process 1: ") == 2 and out.count("process 2: ") == 2
    assert "all 2 processes, over the common window:" in out and "(100 runs in" in out
    report = json.loads(report_path.read_text())
    check_report(report, "bench")
    assert report["processes"] == 2 and [one["runs"] for one in report["per_process"]] == [50, 50]
    assert report["timing"]["runs"] == 100


def test_a_session_that_cannot_be_made_fails_before_workers_start(capsys):
    # qelmo loads the model, but ONNX Runtime has no kernel for its old Add.
    # The first session is made before the workers, for the device report.
    path = os.path.join(ONNX_DATA, "pytorch-operator", "test_operator_add_broadcast", "model.onnx")
    code, out, err = run_cli(capsys, "bench", path, "--processes", "2", "--repeat", "5")
    assert code == 1
    assert re.match(r"qelmo: error: ONNX Runtime could not prepare the model", err), err
    assert "process 1" not in out + err
    assert "status 0x" in err and "Traceback" not in err


def test_run_json_records_outputs_and_timing(tmp_path, capsys):
    report_path = tmp_path / "run.json"
    code, out, err = run_cli(capsys, "run", "--repeat", "4", "--json", report_path)
    assert code == 0, err
    report = json.loads(report_path.read_text())
    check_report(report, "run")
    assert [output["name"] for output in report["outputs"]] == ["logits", "probabilities"]
    assert report["timing"]["runs"] == 4 and report["first_evaluation_s"] > 0


AS_ROOT = pytest.mark.skipif(os.geteuid() == 0, reason="root writes where permissions say no")


@pytest.mark.parametrize("command", ["bench", "run"])
@pytest.mark.parametrize(
    "target, message",
    [
        ("missing/r.json", "no folder"),
        (".", "that is a folder"),
        ("/proc/nope.json", "cannot make files in /proc"),
        ("x" * 300 + ".json", "cannot write there: File name too long"),
        pytest.param("locked/r.json", "cannot write there: Permission denied", marks=AS_ROOT),
        pytest.param("locked/kept.json", "cannot write it: Permission denied", marks=AS_ROOT),
    ],
)
def test_an_unwritable_report_fails_before_evaluating(tmp_path, capsys, monkeypatch, command, target, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "locked").mkdir()
    (tmp_path / "locked" / "kept.json").write_text("kept")
    os.chmod(tmp_path / "locked" / "kept.json", 0o444)
    os.chmod(tmp_path / "locked", 0o555)
    try:
        code, out, err = run_cli(capsys, command, "--repeat", "1", "--json", target)
        assert code == 1 and f"--json {target}: {message}" in err and out == ""
        assert sorted(os.listdir(tmp_path)) == ["locked"] and os.listdir(tmp_path / "locked") == ["kept.json"]
    finally:
        os.chmod(tmp_path / "locked", 0o755)


def test_timed_runs_end_at_an_interrupt_with_what_was_timed():
    def interrupted_at(stop):
        calls = []

        def call():
            calls.append(None)
            if len(calls) == stop:
                raise KeyboardInterrupt

        return call

    timed = time_runs(interrupted_at(6), Limits(warmup=2, repeat=100))
    assert timed.interrupted and len(timed.latencies) == 3 and timed.wall >= sum(timed.latencies)
    timed = time_runs(interrupted_at(2), Limits(warmup=2, repeat=100))  # still warming up
    assert timed.interrupted and timed.latencies == [] and timed.wall == 0
    assert not time_runs(interrupted_at(0), Limits(repeat=3)).interrupted


def interrupt_bench(tmp_path, processes, whom, after_plan):
    """Starts `qelmo bench` for a minute, sends SIGINT once it has printed
    its plan and `after_plan` seconds more, to its whole process group (as a
    terminal's Ctrl-C does) or to the parent alone."""
    report_path = tmp_path / "bench.json"
    child = subprocess.Popen(
        [sys.executable, "-m", "qelmo_cli", "bench", "--time", "60", "--processes", str(processes), "--json", str(report_path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=dict(os.environ, PYTHONUNBUFFERED="1"),
        start_new_session=True,
        # A shell's background job may have inherited SIGINT ignored.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        lines = []
        while not lines or not lines[-1].startswith("runs:"):
            lines.append(child.stdout.readline())
            assert lines[-1], "".join(lines) + child.stderr.read()
        time.sleep(after_plan)
        if whom == "group":
            os.killpg(child.pid, signal.SIGINT)
        else:
            os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    return child.returncode, "".join(lines) + out, err, report_path


@pytest.mark.parametrize(
    "processes, whom, after_plan",
    [(1, "group", 1.0), (2, "group", 3.0), (2, "parent", 3.0), (2, "group", 0.0)],
    ids=["one_process", "two_processes", "parent_alone", "while_workers_start"],
)
def test_an_interrupted_bench_shows_and_saves_what_it_measured(tmp_path, processes, whom, after_plan):
    code, out, err, report_path = interrupt_bench(tmp_path, processes, whom, after_plan)
    assert code == 130 and err == "qelmo: interrupted\n", err  # and no worker's traceback
    if after_plan == 0.0 and not report_path.exists():
        return  # interrupted before the workers were started: nothing measured
    report = json.loads(report_path.read_text())
    assert report["interrupted"] is True and f"{INTERRUPTED_NOTE}\n" in out
    assert int(re.findall(r"\((\d+) runs in", out)[-1]) == report["timing"]["runs"]
    if processes == 1:
        assert report["timing"]["runs"] > 0
    else:
        # Workers that had not begun timing when interrupted (a loaded machine) report none.
        per_process = [one["runs"] for one in report["per_process"]]
        assert len(per_process) == processes and sum(per_process) == report["timing"]["runs"]
        assert out.count("stopped before timing") == per_process.count(0)


REFUSED = "the CUDA provider could not run this model: ONNX Runtime could not prepare the model: no kernel"


@pytest.mark.parametrize(
    "last_session, used, reason",
    [
        (None, "cpu", devices.NO_REPORT),
        ({"requested": "gpu", "used": "gpu", "reason": ""}, "gpu", devices.CUDA_STARTED),
        ({"requested": "gpu", "used": "cpu", "reason": "no NVIDIA driver (libcuda.so.1 could not be loaded)"},
         "cpu", "no NVIDIA driver (libcuda.so.1 could not be loaded)"),
        ({"requested": "gpu", "used": "cpu", "reason": REFUSED}, "cpu", REFUSED),
    ],
)
def test_the_device_reported_is_the_runtimes_record(monkeypatch, last_session, used, reason):
    monkeypatch.setattr(devices, "runtime_report", lambda: {"last_session": last_session})
    monkeypatch.setattr(devices, "changed_gpu_libraries", lambda: [])
    choice = devices.session_device("gpu")
    assert (choice.used, choice.reason) == (used, reason)
    assert choice.describe() == f"gpu requested; {reason}; ran on {used}"


def test_overwritten_gpu_package_libraries_are_named(tmp_path, monkeypatch):
    """Both onnxruntime packages install into one folder; a library the GPU
    package installed and another package replaced is named, with the fix."""
    import base64
    import hashlib

    from qelmo_cli import gpu_package

    capi = tmp_path / "onnxruntime" / "capi"
    capi.mkdir(parents=True)
    record = []
    for name, content in (("libonnxruntime.so.1.2.3", b"gpu build"), ("libonnxruntime_providers_cuda.so", b"cuda"),
                          ("libonnxruntime_providers_shared.so", b"shared"), ("__init__.py", b"")):
        (capi / name).write_bytes(content)
        digest = base64.urlsafe_b64encode(hashlib.sha256(content).digest()).rstrip(b"=").decode()
        record.append(f"onnxruntime/capi/{name},sha256={digest},{len(content)}")
    info = tmp_path / "onnxruntime_gpu-1.2.3.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: onnxruntime-gpu\nVersion: 1.2.3\n")
    (info / "RECORD").write_text("\n".join(record) + "\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert gpu_package.changed_gpu_libraries() == []

    (capi / "libonnxruntime.so.1.2.3").write_bytes(b"cpu build")  # same size, other bytes
    (capi / "libonnxruntime_providers_shared.so").unlink()
    changed = gpu_package.changed_gpu_libraries()
    assert sorted(os.path.basename(path) for path in changed) == ["libonnxruntime.so.1.2.3", "libonnxruntime_providers_shared.so"]

    monkeypatch.setattr(devices, "runtime_report", lambda: {"last_session": {"used": "cpu", "reason": "no CUDA provider"}})
    text = devices.session_device("gpu").describe()
    assert "files of the onnxruntime-gpu package were overwritten" in text
    assert "pip install --force-reinstall --no-deps onnxruntime-gpu" in text


def test_gpu_here_runs_on_the_cpu_and_says_why(tmp_path, capsys):
    if "CUDAExecutionProvider" in onnxruntime.get_available_providers():
        pytest.skip("this ONNX Runtime has a CUDA provider")
    report_path = tmp_path / "run.json"
    code, out, err = run_cli(capsys, "run", "--device", "gpu", "--json", report_path)
    assert code == 0, err
    report = json.loads(report_path.read_text())
    library = report["environment"]["onnxruntime_library"]
    assert os.path.basename(library) == f"libonnxruntime.so.{onnxruntime.__version__}"
    reason = f"ONNX Runtime {onnxruntime.__version__} ({library}) has no CUDA provider (GPU sessions need qelmo-gpu, installed in place of qelmo)"
    assert f"device: gpu requested; {reason}; ran on cpu\nevaluated on cpu in " in out
    assert report["device"] == {"requested": "gpu", "used": "cpu", "reason": reason}
    assert err == ""


@pytest.mark.parametrize("builds", [("onnxruntime",), ("onnxruntime", "onnxruntime-gpu")])
def test_qelmo_and_qelmo_gpu_both_installed_are_named_with_what_to_uninstall(tmp_path, monkeypatch, capsys, builds):
    """The two distributions share their files, as the two ONNX Runtime
    builds do; with both installed (in either order) every command warns
    and --version says the same, naming every package to uninstall."""
    from importlib import metadata

    from qelmo_cli.main import main

    def fake_distribution(name, version):
        info = tmp_path / f"{name.replace('-', '_')}-{version}.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")

    monkeypatch.syspath_prepend(str(tmp_path))
    code, out, err = run_cli(capsys, "inspect")
    assert code == 0 and err == "", "no warning with qelmo alone"

    fake_distribution("qelmo-gpu", "9.8.7")
    for build in builds:
        if build not in {d.metadata["Name"] for d in metadata.distributions()}:
            fake_distribution(build, "1.2.3")
    code, out, err = run_cli(capsys, "inspect")
    assert code == 0 and out.startswith("model:")
    assert f"both qelmo {metadata.version('qelmo')} and qelmo-gpu 9.8.7 are installed" in err
    assert err.rstrip().endswith("  pip uninstall -y qelmo qelmo-gpu " + " ".join(builds))
    with pytest.raises(SystemExit):
        main(["--version"])
    out = capsys.readouterr().out
    assert out.startswith("qelmo ") and err.strip() in out
