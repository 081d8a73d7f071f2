"""The --json report: every figure of a run with what it ran on."""

import datetime
import json
import os
import sys
from typing import Any, Dict

import qelmo

from qelmo_cli.devices import DeviceChoice
from qelmo_cli.environment import environment
from qelmo_cli.errors import InputError
from qelmo_cli.inputs import Inputs

# `--json -` writes the report to standard output (and the rest to stderr).
STDOUT = "-"


def check_json_target(path: str) -> None:
    """Refuses, before anything is evaluated, a report that could not be written."""
    if path == STDOUT:
        return
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise InputError(f"--json {path}: that is a folder")
    if not os.path.isdir(folder):
        raise InputError(f"--json {path}: no folder {folder}")
    if not os.access(folder, os.W_OK):
        raise InputError(f"--json {path}: cannot write in {folder}")


def base_report(command: str, path: str, model: qelmo.QelmoModel, inputs: Inputs, device: DeviceChoice) -> Dict[str, Any]:
    return {
        "command": command,
        "date_utc": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "environment": environment(),
        "model": {"path": os.path.abspath(path), "name": model.get_name()},
        "inputs": [
            {"name": name, "shape": list(array.shape), "dtype": str(array.dtype), "source": inputs.sources[name]}
            for name, array in inputs.arrays.items()
        ],
        "device": device.as_json(),
    }


def write_json(path: str, report: Dict[str, Any]) -> None:
    if path == STDOUT:
        json.dump(report, sys.stdout, indent=2, ensure_ascii=False)
        sys.stdout.write("\n")
        return
    try:
        with open(path, "w", encoding="utf-8") as stream:
            json.dump(report, stream, indent=2, ensure_ascii=False)
            stream.write("\n")
    except OSError as error:
        raise InputError(f"--json {path}: cannot write: {error.strerror or error}") from None
