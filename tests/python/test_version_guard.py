"""A qelmo module built for one CPython refuses to load into any other, with
pybind11's exact message, before anything else happens. The other builds
are the wheels in QELMO_WHEEL_DIR (scripts/test_wheels.sh points it at
dist/, where scripts/build_wheels.sh puts one per supported version and
machine); without it the test is skipped."""

import glob
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile

import pytest

import qelmo

OWN_TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"


def foreign_wheels():
    """The qelmo wheels of other CPython versions for this machine, with
    their cp tags."""
    folder = os.environ.get("QELMO_WHEEL_DIR")
    found = []
    for wheel in sorted(glob.glob(os.path.join(folder or "", f"qelmo-*_{platform.machine()}.whl")) if folder else []):
        tag = re.search(r"-(cp3\d+)-", os.path.basename(wheel))
        if tag and tag.group(1) != OWN_TAG:
            found.append(pytest.param(wheel, tag.group(1), id=tag.group(1)))
    return found or [pytest.param(None, None, marks=pytest.mark.skip(
        reason="no wheels of other CPython versions in QELMO_WHEEL_DIR (scripts/test_wheels.sh sets it)"))]


@pytest.mark.parametrize("wheel, tag", foreign_wheels())
def test_a_build_for_another_version_refuses_to_import(tmp_path, wheel, tag):
    with zipfile.ZipFile(wheel) as archive:
        (module,) = [name for name in archive.namelist() if re.fullmatch(r"qelmo\.cpython-3\d+-[^/]*\.so", name)]
        archive.extract(module, tmp_path)
    # Renamed to this interpreter's suffix, beside this install's runtime, so
    # that the interpreter loads it and only the version guard can refuse it.
    os.rename(tmp_path / module, tmp_path / ("qelmo" + sysconfig.get_config_var("EXT_SUFFIX")))
    shutil.copytree(os.path.join(os.path.dirname(qelmo.__file__), "qelmo.libs"), tmp_path / "qelmo.libs")

    probe = "import qelmo\nprint('imported', qelmo.__file__)"
    result = subprocess.run(
        [sys.executable, "-c", f"import sys; sys.path.insert(0, {str(tmp_path)!r})\n" + probe],
        capture_output=True, text=True, timeout=60,
    )
    built_for = f"{tag[2]}.{tag[3:]}"
    expected = (f"ImportError: Python version mismatch: module was compiled for Python {built_for}, "
                f"but the interpreter version is incompatible: {sys.version}.")
    assert result.returncode == 1, result.stdout
    assert result.stderr.strip().splitlines()[-1] == expected.splitlines()[-1]
    assert expected in result.stderr
