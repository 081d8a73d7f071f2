"""The `qelmo` command line: its commands and their options."""

import argparse
import ast
import os
import re
import shlex
from typing import Any, NoReturn, Optional, Sequence, Tuple

from qelmo_cli.environment import version_text
from qelmo_cli.score_arguments import add_score_command
from qelmo_cli.sample import SAMPLE_MODEL_PATH

MODEL_HELP = "an ONNX model file (default: the sample model shipped with qelmo)"


def count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def process_count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def seconds(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be more than 0")
    return value


def tolerance(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def int_range(text: str) -> Tuple[int, int]:
    low, colon, high = text.partition(":")
    try:
        bounds = int(low), int(high)
    except ValueError:
        raise argparse.ArgumentTypeError("expected LO:HI, e.g. 0:10") from None
    if not colon or bounds[0] >= bounds[1]:
        raise argparse.ArgumentTypeError("expected LO:HI with LO below HI, e.g. 0:10")
    return bounds


def add_input_options(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--input",
        dest="inputs",
        action="append",
        default=[],
        metavar="NAME=FILE",
        help="an input from a .npy, .npz or ONNX TensorProto (.pb) file (repeatable); inputs not given "
        "get random floats (normal) or integer zeros of the declared shape, free dimensions 1",
    )
    command.add_argument(
        "--inputs",
        dest="input_folder",
        metavar="DIR",
        help="inputs from a folder: input_K.pb files in the model's input order, an inputs.npz, or NAME.npy files",
    )
    command.add_argument(
        "--shape",
        dest="shapes",
        action="append",
        default=[],
        metavar="NAME=D0xD1x...",
        help="the shape of a made-up input, setting dimensions the model leaves free (repeatable)",
    )
    command.add_argument(
        "--int-range",
        type=int_range,
        metavar="LO:HI",
        help="random integers in [LO, HI) instead of zeros (a negative LO: --int-range=-5:5)",
    )
    command.add_argument("--seed", type=int, default=0, help="seed for the random inputs (default: 0)")
    command.add_argument("--device", choices=["cpu", "gpu"], default="cpu", help="where to evaluate (default: cpu)")


def add_timing_options(command: argparse.ArgumentParser, warmup: int, stop_help: str) -> None:
    command.add_argument("--warmup", type=count, default=warmup, metavar="N", help=f"untimed runs first (default: {warmup})")
    command.add_argument("--repeat", type=count, metavar="N", help=f"timed runs; {stop_help}")
    command.add_argument("--time", type=seconds, metavar="SECONDS", help=f"time to run for; {stop_help}")
    command.add_argument("--json", dest="json_path", metavar="FILE", help="write every figure, with versions and the machine, to FILE (- for standard output)")


class VersionAction(argparse.Action):
    """--version, worked out only when asked: it loads ONNX Runtime."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any, option_string: Optional[str] = None) -> None:
        print(version_text())
        parser.exit()


class ToolParser(argparse.ArgumentParser):
    """The top-level parser. A model file where the command belongs
    (`qelmo model.onnx`) gets the commands that would take it."""

    _INVALID_COMMAND = re.compile(r"argument COMMAND: invalid choice: ('(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\")")

    def error(self, message: str) -> NoReturn:
        match = self._INVALID_COMMAND.match(message)
        if match:
            word = ast.literal_eval(match.group(1))
            if word.lower().endswith(".onnx") or os.path.isfile(word):
                quoted = shlex.quote(word)
                message = (
                    f"{match.group(1)} is not a command. To run the model: qelmo run {quoted}; "
                    f"to see its inputs and outputs: qelmo inspect {quoted}"
                )
        super().error(message)


def add_verbose_option(parser: argparse.ArgumentParser, default: Any) -> None:
    parser.add_argument("-v", "--verbose", action="store_true", default=default, help="show the details of an error")


def build_parser() -> argparse.ArgumentParser:
    parser = ToolParser(
        prog="qelmo",
        description="Look inside an ONNX model, run it, time it and check it with qelmo. "
        "Without a command, inspects and runs the sample model.",
    )
    parser.add_argument("--version", action=VersionAction, help="show the versions of qelmo, the ONNX Runtime it loads, numpy and Python")
    add_verbose_option(parser, False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    inspect = commands.add_parser("inspect", help="show a model's metadata, inputs and outputs")
    inspect.add_argument("model", nargs="?", default=SAMPLE_MODEL_PATH, metavar="MODEL", help=MODEL_HELP)
    inspect.add_argument("--json", dest="json_path", metavar="FILE", help="write the same as JSON to FILE (- for standard output)")

    run = commands.add_parser("run", help="evaluate a model and show its outputs")
    run.add_argument("model", nargs="?", default=SAMPLE_MODEL_PATH, metavar="MODEL", help=MODEL_HELP)
    add_input_options(run)
    add_timing_options(run, 0, "with --repeat or --time, evaluations after the first are timed, until either is reached")
    run.add_argument("--output-dir", metavar="DIR", help="save each output as DIR/NAME.npy")

    bench = commands.add_parser("bench", help="time a model's evaluations: throughput and latency percentiles")
    bench.add_argument("model", nargs="?", default=SAMPLE_MODEL_PATH, metavar="MODEL", help=MODEL_HELP)
    add_input_options(bench)
    add_timing_options(bench, 3, "runs until either is reached (default: 1000 runs or 10 s)")
    bench.add_argument(
        "--processes", type=process_count, default=1, metavar="N", help="N worker processes, each with its own session (default: 1)"
    )

    check = commands.add_parser(
        "check",
        help="evaluate a model on data sets and compare with their expected outputs",
        description="Evaluate MODEL on each data set and compare its outputs with the expected ones. "
        "Exit code 0: all passed; 1: an output differs; 2: a data set could not be checked.",
    )
    check.add_argument("model", metavar="MODEL", help="an ONNX model file, or a folder with model.onnx and test_data_set_* folders")
    check.add_argument(
        "data_sets",
        nargs="*",
        default=[],  # optional: without a default, argparse would call it required
        metavar="DATASET",
        help="a folder of input_K.pb and output_K.pb files, an inputs.npz and outputs.npz, or NAME.npy files "
        "(default: the test_data_set_* folders beside the model)",
    )
    check.add_argument("--rtol", type=tolerance, default=1e-3, help="relative tolerance (default: 1e-3)")
    check.add_argument("--atol", type=tolerance, default=1e-5, help="absolute tolerance (default: 1e-5)")
    check.add_argument("--device", choices=["cpu", "gpu"], default="cpu", help="where to evaluate (default: cpu)")

    add_score_command(commands)
    for command in commands.choices.values():
        # Given before the command or after it; SUPPRESS keeps the first.
        add_verbose_option(command, argparse.SUPPRESS)
    return parser
