"""Entry point of the `qelmo` command."""

import argparse
import os
import sys
from typing import Optional, Sequence

from qelmo_cli.distributions import both_installed_warning
from qelmo_cli.errors import InputError, WorkerFailed, error_lines
from qelmo_cli.parser import build_parser
from qelmo_cli.sample import SAMPLE_MODEL_PATH

# What a program stopped by SIGPIPE reports to its shell (128 + 13).
EXIT_BROKEN_PIPE = 141


def report_error(error: BaseException, verbose: bool) -> None:
    for line in error_lines(error, verbose):
        print(line, file=sys.stderr)


def dispatch(arguments: argparse.Namespace) -> int:
    # Imported here so that --help and --version work where the module cannot load.
    from qelmo_cli.inspect_command import inspect_model
    from qelmo_cli.run_command import run_model

    # With `--json -` the report owns standard output.
    out = sys.stderr if getattr(arguments, "json_path", None) == "-" else sys.stdout
    if arguments.command is None:
        print("No command given: the sample model, inspected and run (see qelmo --help).\n", file=out)
        inspect_model(SAMPLE_MODEL_PATH, out)
        print(file=out)
        run_model(SAMPLE_MODEL_PATH, out)
    elif arguments.command == "inspect":
        inspect_model(arguments.model, out, arguments.json_path)
    elif arguments.command == "run":
        from qelmo_cli.command_options import run_options

        run_model(arguments.model, out, run_options(arguments))
    elif arguments.command == "bench":
        from qelmo_cli.bench_command import bench_model
        from qelmo_cli.command_options import bench_options

        bench_model(arguments.model, out, bench_options(arguments))
    elif arguments.command == "score":
        from qelmo_cli.score_command import score_files

        return score_files(arguments, out)
    else:
        from qelmo_cli.check_command import CheckOptions, check_model

        options = CheckOptions(arguments.rtol, arguments.atol, arguments.device, arguments.verbose)
        return check_model(arguments.model, arguments.data_sets, out, options)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = build_parser().parse_args(argv)
    warning = both_installed_warning()
    if warning:
        print(warning, file=sys.stderr)
    # `check` keeps 1 for outputs that differ; failing to check is 2.
    failed = 2 if arguments.command == "check" else 1
    try:
        code = dispatch(arguments)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
    except BrokenPipeError:
        # The reader went away (`qelmo inspect | head -3`): stop quietly, and
        # point stdout at nothing so that the flush at exit cannot fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except (InputError, WorkerFailed, RuntimeError, OSError, ValueError, MemoryError) as error:
        report_error(error, arguments.verbose)
        return failed
    except KeyboardInterrupt:
        print("qelmo: interrupted", file=sys.stderr)
        return 130
    return code
