"""The options of `qelmo score` (the command itself is in score_command)."""

import argparse
from typing import Any


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def add_score_command(commands: "argparse._SubParsersAction[Any]") -> None:
    score = commands.add_parser(
        "score",
        help="score arrays too big for memory, chunk by chunk, on local processes or a Dask cluster",
        description="Evaluate MODEL on every row of the INPUT arrays, a chunk of rows at a time, and write each "
        "output to DIR as it is scored. The arrays are read from storage by the workers (never loaded whole), "
        "on local worker processes or on a Dask cluster. Needs the dask extra: pip install 'qelmo[dask]'.",
    )
    score.add_argument("model", metavar="MODEL", help="an ONNX model file")
    score.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="[NAME=]PATH: a .npy file (read by memory map) or a zarr array whose first axis is the rows; "
        "NAME is the model's input (default: the only one, or the file's name without .npy or .zarr)",
    )
    score.add_argument("--output", required=True, metavar="DIR", help="write each output as DIR/NAME.npy (or NAME.zarr)")
    score.add_argument("--format", choices=["npy", "zarr"], default="npy", help="how outputs are written (default: npy; zarr needs the zarr package)")
    score.add_argument("--only", action="append", metavar="NAME", help="write only this output (repeatable; default: every tensor output)")
    score.add_argument("--device", choices=["cpu", "gpu"], default="cpu", help="where each worker evaluates (default: cpu)")
    score.add_argument("--chunk-rows", type=positive, metavar="N", help="rows per chunk (default: about 8 chunks per worker, at most 64 MiB of input each)")
    where = score.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://host:8786 (workers must see MODEL, the inputs and DIR at the same paths)")
    where.add_argument(
        "--workers", type=positive, metavar="N", help="local worker processes, each pinned to its share of the CPUs (default: one per CPU; with --device gpu, one per GPU)"
    )
