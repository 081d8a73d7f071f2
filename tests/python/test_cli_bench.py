"""`qelmo bench` and the timed part of `qelmo run`: figures, JSON reports,
worker processes, and the device a session really ran on."""

import json
import os
import re

import numpy as np
import onnx
import onnxruntime
import pytest

from cli_support import run_cli
from qelmo_cli import devices
from qelmo_cli.timing import TimedRuns, figures, format_duration, joined_figures, latency_line

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


def test_a_failing_worker_is_reported_without_a_traceback(capsys):
    # qelmo loads the model, but ONNX Runtime has no kernel for its old Add,
    # so each worker's session fails.
    path = os.path.join(ONNX_DATA, "pytorch-operator", "test_operator_add_broadcast", "model.onnx")
    code, out, err = run_cli(capsys, "bench", path, "--processes", "2", "--repeat", "5")
    assert code == 1
    assert re.match(r"qelmo: error: process [12]: ONNX Runtime could not prepare the model", err), err
    assert "status 0x" in err and "Traceback" not in err


def test_run_json_records_outputs_and_timing(tmp_path, capsys):
    report_path = tmp_path / "run.json"
    code, out, err = run_cli(capsys, "run", "--repeat", "4", "--json", report_path)
    assert code == 0, err
    report = json.loads(report_path.read_text())
    check_report(report, "run")
    assert [output["name"] for output in report["outputs"]] == ["logits", "probabilities"]
    assert report["timing"]["runs"] == 4 and report["first_evaluation_s"] > 0


@pytest.mark.parametrize("target, message", [("missing/r.json", "no folder"), (".", "that is a folder")])
def test_an_unwritable_report_fails_before_evaluating(tmp_path, capsys, monkeypatch, target, message):
    monkeypatch.chdir(tmp_path)
    code, out, err = run_cli(capsys, "bench", "--json", target)
    assert code == 1 and message in err and out == ""


class FakeSession:
    providers = ["CPUExecutionProvider"]

    def __init__(self, path, providers):
        assert providers == ["CUDAExecutionProvider", "CPUExecutionProvider"]

    def get_providers(self):
        return self.providers


class StartedSession(FakeSession):
    providers = ["CUDAExecutionProvider", "CPUExecutionProvider"]


class FailingSession(FakeSession):
    def __init__(self, path, providers):
        raise RuntimeError("CUDA driver version is insufficient\nmore")


@pytest.mark.parametrize(
    "session, used, reason",
    [
        (FakeSession, "cpu", "the CUDA provider could not start"),
        (FailingSession, "cpu", "the CUDA provider could not start (RuntimeError: CUDA driver version is insufficient)"),
        (StartedSession, "gpu", "the CUDA provider started"),
    ],
)
def test_a_listed_cuda_provider_is_tried(monkeypatch, identity_path, session, used, reason):
    monkeypatch.setattr(onnxruntime, "get_available_providers", lambda: ["CUDAExecutionProvider", "CPUExecutionProvider"])
    monkeypatch.setattr(onnxruntime, "InferenceSession", session)
    choice = devices.resolve_device("gpu", identity_path)
    assert (choice.used, choice.reason) == (used, reason)


def test_gpu_here_runs_on_the_cpu_and_says_why(tmp_path, capsys):
    if "CUDAExecutionProvider" in onnxruntime.get_available_providers():
        pytest.skip("this ONNX Runtime has a CUDA provider")
    report_path = tmp_path / "run.json"
    code, out, err = run_cli(capsys, "run", "--device", "gpu", "--json", report_path)
    assert code == 0, err
    assert "device: gpu requested; ONNX Runtime here has no CUDA provider; ran on cpu\nevaluated on cpu in " in out
    device = json.loads(report_path.read_text())["device"]
    assert device == {"requested": "gpu", "used": "cpu", "reason": "ONNX Runtime here has no CUDA provider"}
