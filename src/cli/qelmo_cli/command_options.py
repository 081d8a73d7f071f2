"""Parsed arguments turned into the options of `run` and `bench`."""

import argparse

from qelmo_cli.bench_command import DEFAULT_REPEAT, DEFAULT_SECONDS, BenchOptions
from qelmo_cli.inputs import InputOptions
from qelmo_cli.run_command import RunOptions
from qelmo_cli.timing import Limits


def input_options(arguments: argparse.Namespace) -> InputOptions:
    return InputOptions(arguments.inputs, arguments.input_folder, arguments.shapes, arguments.int_range, arguments.seed)


def run_options(arguments: argparse.Namespace) -> RunOptions:
    limits = Limits(arguments.warmup, arguments.repeat, arguments.time)
    return RunOptions(input_options(arguments), arguments.device, limits, arguments.output_dir, arguments.json_path)


def bench_options(arguments: argparse.Namespace) -> BenchOptions:
    repeat, seconds = arguments.repeat, arguments.time
    if repeat is None and seconds is None:
        repeat, seconds = DEFAULT_REPEAT, DEFAULT_SECONDS
    limits = Limits(arguments.warmup, repeat, seconds)
    return BenchOptions(input_options(arguments), arguments.device, limits, arguments.processes, arguments.json_path)
