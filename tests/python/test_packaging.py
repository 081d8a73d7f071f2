"""A wheel built from the source tree works on its own: installed into a
fresh virtual environment, its command-line tool runs the sample model."""

import glob
import os
import subprocess
import sys
import venv

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

pytestmark = pytest.mark.packaging


def run(command, cwd, timeout=900):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"{command}\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    return result.stdout


def test_wheel_installs_into_a_fresh_environment_and_runs_the_sample(tmp_path):
    wheels = tmp_path / "wheels"
    # Without build isolation the build tools come from this environment, and
    # the source tree's build folder makes the build incremental.
    run([sys.executable, "-m", "pip", "wheel", REPO, "--no-deps", "--no-build-isolation", "-q", "-w", str(wheels)], tmp_path)
    (wheel,) = glob.glob(str(wheels / "qelmo-*.whl"))

    fresh = tmp_path / "fresh"
    venv.EnvBuilder(with_pip=True).create(fresh)
    bin_dir = fresh / "bin"
    run([str(bin_dir / "python"), "-m", "pip", "install", "-q", wheel], tmp_path)

    out = run([str(bin_dir / "qelmo")], tmp_path, timeout=120)
    assert "input      features       tensor  float32       [batch, 4]" in out
    assert "output  probabilities: float32 [1, 3]" in out
    out = run([str(bin_dir / "python"), "-m", "qelmo_cli", "run", "--repeat", "3"], tmp_path, timeout=120)
    assert "latency over 3 runs" in out
    site_packages = glob.glob(str(fresh / "lib" / "python*" / "site-packages"))[0]
    assert os.path.isfile(os.path.join(site_packages, "qelmo-stubs", "__init__.pyi"))
