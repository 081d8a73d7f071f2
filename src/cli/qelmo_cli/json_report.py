"""The --json report: every figure of a run with what it ran on."""

import datetime
import errno
import json
import os
import signal
import sys
import threading
from contextlib import contextmanager
from typing import Any, Dict, Iterator, List

import qelmo

from qelmo_cli.devices import DeviceChoice
from qelmo_cli.environment import environment
from qelmo_cli.errors import InputError
from qelmo_cli.inputs import Inputs

# `--json -` writes the report to standard output (and the rest to stderr).
STDOUT = "-"


def check_json_target(path: str) -> None:
    """Refuses, before anything is evaluated, a report that could not be
    written, leaving nothing in its place."""
    if path == STDOUT:
        return
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise InputError(f"--json {path}: that is a folder")
    if not os.path.isdir(folder):
        raise InputError(f"--json {path}: no folder {folder}")
    if os.path.exists(path):
        # Not opened to try it: a pipe (/dev/stdout) would wait for its reader.
        if not os.access(path, os.W_OK):
            raise InputError(f"--json {path}: cannot write it: {os.strerror(errno.EACCES)}")
    elif not os.path.islink(path):  # (a link to a missing file is left to the write)
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            os.unlink(path)
        except OSError as error:
            if error.errno == errno.ENOENT:  # the folder is there: /proc and the like take no new files
                raise InputError(f"--json {path}: cannot make files in {folder}") from None
            raise InputError(f"--json {path}: cannot write there: {error.strerror or error}") from None


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
    text = json.dumps(report, indent=2, ensure_ascii=False) + "\n"
    with _interrupt_deferred():
        if path == STDOUT:
            sys.stdout.write(text)
            return
        try:
            with open(path, "w", encoding="utf-8") as stream:
                stream.write(text)
        except OSError as error:
            raise InputError(f"--json {path}: cannot write: {error.strerror or error}") from None


@contextmanager
def _interrupt_deferred() -> Iterator[None]:
    """Ctrl-C while the report is written takes effect once it is whole."""
    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread sets handlers, and receives the interrupt
        return
    caught: List[int] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt
