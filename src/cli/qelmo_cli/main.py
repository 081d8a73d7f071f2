"""Entry point of the `qelmo` command."""

import argparse
import sys
from typing import Optional, Sequence

from qelmo_cli.inputs import InputError
from qelmo_cli.sample import SAMPLE_MODEL_PATH

MODEL_HELP = "an ONNX model file (default: the sample model shipped with qelmo)"


def positive_count(text: str) -> int:
    count = int(text)
    if count < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return count


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="qelmo",
        description="Look inside an ONNX model and run it with qelmo. "
        "Without a command, inspects and runs the sample model.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    inspect = commands.add_parser("inspect", help="show a model's metadata, inputs and outputs")
    inspect.add_argument("model", nargs="?", default=SAMPLE_MODEL_PATH, metavar="MODEL", help=MODEL_HELP)

    run = commands.add_parser("run", help="evaluate a model and show its outputs")
    run.add_argument("model", nargs="?", default=SAMPLE_MODEL_PATH, metavar="MODEL", help=MODEL_HELP)
    run.add_argument(
        "--input",
        dest="inputs",
        action="append",
        default=[],
        metavar="NAME=FILE.npy",
        help="an input from a .npy file; inputs not given get random values of the declared "
        "element type and shape, free dimensions 1 (repeatable)",
    )
    run.add_argument("--device", choices=["cpu", "gpu"], default="cpu", help="where to evaluate (default: cpu)")
    run.add_argument(
        "--repeat", type=positive_count, default=0, metavar="N", help="time N more evaluations and show percentiles"
    )
    run.add_argument("--output-dir", metavar="DIR", help="save each output as DIR/NAME.npy")
    run.add_argument("--seed", type=int, default=0, help="seed for the random inputs (default: 0)")
    return parser


def report_error(error: BaseException) -> None:
    print(f"qelmo: error: {error}", file=sys.stderr)
    # The module's platform errors explain themselves in their notes.
    for note in getattr(error, "__notes__", []):
        print(f"  {note}", file=sys.stderr)


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = build_parser().parse_args(argv)
    # Imported here so that --help works even where the module cannot load.
    from qelmo_cli.inspect_command import inspect_model
    from qelmo_cli.run_command import run_model

    out = sys.stdout
    try:
        if arguments.command is None:
            print("No command given: the sample model, inspected and run (see qelmo --help).\n", file=out)
            inspect_model(SAMPLE_MODEL_PATH, out)
            print(file=out)
            run_model(SAMPLE_MODEL_PATH, out)
        elif arguments.command == "inspect":
            inspect_model(arguments.model, out)
        else:
            run_model(
                arguments.model,
                out,
                input_options=arguments.inputs,
                device=arguments.device,
                repeat=arguments.repeat,
                output_dir=arguments.output_dir,
                seed=arguments.seed,
            )
    except (InputError, RuntimeError, OSError, ValueError, MemoryError) as error:
        report_error(error)
        return 1
    except KeyboardInterrupt:
        print("qelmo: interrupted", file=sys.stderr)
        return 130
    return 0


