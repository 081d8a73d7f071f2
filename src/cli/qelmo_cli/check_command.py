"""`qelmo check`: evaluate a model on data sets and compare its outputs with
the expected ones.

Exit codes: 0 when every data set passed; 1 when any output differs from
what was expected; otherwise 2 when a data set could not be checked (a file
that cannot be read, an evaluation the runtime refused, or no output that
qelmo returns to compare)."""

import glob
import os
from dataclasses import dataclass, field
from typing import Dict, List, Sequence, TextIO, Tuple

import qelmo

from qelmo_cli.compare import MISMATCH, PASS, compare
from qelmo_cli.data_folders import DataFolder, FileRef, describe_ref, scan_data_folder
from qelmo_cli.devices import DEVICE_TYPES, session_device
from qelmo_cli.errors import InputError, error_lines, explain
from qelmo_cli.evaluation import evaluate_once, left_out_outputs, stage
from qelmo_cli.inputs import suppliable
from qelmo_cli.table import format_shape
from qelmo_cli.tensor_files import Array, read_array

DATA_SET_PATTERN = "test_data_set_*"
EXIT_PASSED, EXIT_MISMATCH, EXIT_UNCHECKED = 0, 1, 2


@dataclass
class CheckOptions:
    rtol: float = 1e-3
    atol: float = 1e-5
    device: str = "cpu"
    verbose: bool = False


@dataclass
class Verdict:
    compared: int = 0
    mismatched: int = 0
    not_compared: int = 0
    errors: List[str] = field(default_factory=list)

    def word(self) -> str:
        if self.mismatched:
            return MISMATCH
        if self.errors:
            return "ERROR"
        return PASS if self.compared else "NOT CHECKED"


def model_and_data_sets(model_arg: str, data_set_args: Sequence[str]) -> Tuple[str, List[str]]:
    """A model folder stands for its model.onnx and its test_data_set_*
    folders; so does a folder given as a data set that holds those folders."""
    model_path = model_arg
    if not os.path.exists(model_arg):
        raise InputError(f"{model_arg} does not exist")
    if os.path.isdir(model_arg):
        model_path = os.path.join(model_arg, "model.onnx")
        if not os.path.isfile(model_path):
            raise InputError(f"{model_arg} is a folder without a model.onnx, and none of its folders holds one")
    folders: List[str] = []
    for argument in data_set_args:
        inside = sorted(glob.glob(os.path.join(glob.escape(argument), DATA_SET_PATTERN)))
        folders += inside if os.path.isdir(argument) and inside else [argument]
    if not data_set_args:
        beside = os.path.dirname(model_path) or os.curdir
        folders = sorted(glob.glob(os.path.join(glob.escape(beside), DATA_SET_PATTERN)))
        if not folders:
            raise InputError(
                f"no data sets given, and no {DATA_SET_PATTERN} folders beside {model_path}; "
                "name them after the model: qelmo check MODEL DATASET..."
            )
    return model_path, folders


def model_folders_inside(folder: str) -> List[str]:
    """The model folders in a folder that is not one itself (such as ONNX's
    pytorch-converted test data): each holds a model.onnx."""
    if not os.path.isdir(folder) or os.path.isfile(os.path.join(folder, "model.onnx")):
        return []
    found = glob.glob(os.path.join(glob.escape(folder), "*", "model.onnx"))
    return sorted(os.path.dirname(path) for path in found)


def check_model(model_arg: str, data_set_args: Sequence[str], out: TextIO, options: CheckOptions) -> int:
    folders = model_folders_inside(model_arg)
    if not folders:
        return check_one_model(model_arg, data_set_args, out, options)
    if data_set_args:
        raise InputError(f"{model_arg} holds {len(folders)} model folders; give data sets with one model at a time")
    codes = []
    for index, folder in enumerate(folders):
        if index:
            print(file=out)
        try:
            codes.append(check_one_model(folder, (), out, options))
        except (InputError, RuntimeError, ValueError, MemoryError) as error:
            print(f"model:     {os.path.join(folder, 'model.onnx')}", file=out)
            for line in error_lines(error, options.verbose):
                print(f"  {line.replace('qelmo: error: ', 'error: ', 1)}", file=out)
            codes.append(EXIT_UNCHECKED)
    counts = [codes.count(code) for code in (EXIT_PASSED, EXIT_MISMATCH, EXIT_UNCHECKED)]
    print(
        f"\nchecked {len(folders)} model folders in {model_arg}: {counts[0]} passed, "
        f"{counts[1]} with a mismatch, {counts[2]} could not be checked",
        file=out,
    )
    return EXIT_MISMATCH if counts[1] else EXIT_UNCHECKED if counts[2] else EXIT_PASSED


def check_one_model(model_arg: str, data_set_args: Sequence[str], out: TextIO, options: CheckOptions) -> int:
    model_path, folders = model_and_data_sets(model_arg, data_set_args)
    model = qelmo.QelmoModel(model_path)
    session = qelmo.QelmoSession(model, DEVICE_TYPES[options.device])
    device = session_device(options.device)
    print(f"model:     {model_path} ({model.get_name() or '-'})", file=out)
    print(f"device:    {device.describe()}", file=out)
    print(f"tolerance: rtol {options.rtol:g}, atol {options.atol:g} (integers exactly)", file=out)
    verdicts = []
    for folder in folders:
        print(f"data set   {folder}", file=out)
        verdict = check_data_set(model, session, folder, options, out)
        print(f"  {verdict.word()}{_verdict_note(verdict)}", file=out)
        verdicts.append(verdict)
    passed = sum(1 for verdict in verdicts if verdict.word() == PASS)
    print(f"checked {len(verdicts)} data set{'' if len(verdicts) == 1 else 's'}: {passed} passed", file=out)
    if any(verdict.mismatched for verdict in verdicts):
        return EXIT_MISMATCH
    return EXIT_PASSED if passed == len(verdicts) else EXIT_UNCHECKED


def _verdict_note(verdict: Verdict) -> str:
    if verdict.word() == "NOT CHECKED":
        return ": no output that qelmo returns could be compared, so this is not a pass"
    parts = [f"{verdict.compared} compared"]
    if verdict.mismatched:
        parts.append(f"{verdict.mismatched} differ")
    if verdict.not_compared:
        parts.append(f"{verdict.not_compared} not compared")
    return f" ({', '.join(parts)})"


def check_data_set(model: qelmo.QelmoModel, session: qelmo.QelmoSession, folder: str, options: CheckOptions, out: TextIO) -> Verdict:
    verdict = Verdict()
    try:
        found = scan_data_folder(folder, model.get_input_names(), model.get_output_names())
        if not found.outputs:
            raise InputError(f"{folder} holds no expected outputs")
        session.clear_input()
        stage(session, _data_set_inputs(model, found))
        outputs = evaluate_once(session)
    except (InputError, RuntimeError, ValueError, MemoryError) as error:
        _record_error(verdict, error, options.verbose, out)
        return verdict
    left_out = left_out_outputs(model, outputs)
    for name in [name for name in model.get_output_names() if name in found.outputs]:
        if name in left_out:
            verdict.not_compared += 1
            print(f"  output {name}: not compared: {left_out[name]}", file=out)
            continue
        try:
            expected = _read(f"expected output '{name}'", found.outputs[name])
        except InputError as error:
            _record_error(verdict, error, options.verbose, out)
            continue
        _compare_output(name, outputs[name], expected, options, verdict, out)
    return verdict


def _data_set_inputs(model: qelmo.QelmoModel, found: DataFolder) -> Dict[str, Array]:
    declared = {name: element_type for name, _, element_type in model.get_input_details()}
    arrays = {}
    for name in model.get_input_names():
        if name not in declared:
            raise InputError(f"input '{name}' is a sequence or map, which qelmo cannot supply")
        if name not in found.inputs:
            raise InputError(f"{found.folder} has no array for input '{name}'")
        ref = found.inputs[name]
        arrays[name] = suppliable(name, _read(f"input '{name}'", ref), declared[name], describe_ref(ref))
    return arrays


def _read(label: str, ref: FileRef) -> Array:
    path, key = ref
    try:
        return read_array(path, key)
    except InputError as error:
        raise InputError(f"{label}: {error}") from None


def _compare_output(name: str, got: Array, expected: Array, options: CheckOptions, verdict: Verdict, out: TextIO) -> None:
    result = compare(got, expected, options.rtol, options.atol)
    verdict.compared += 1
    verdict.mismatched += 0 if result.passed else 1
    word = PASS if result.passed else MISMATCH
    print(f"  output {name}: {got.dtype} {format_shape(list(got.shape))}  {result.detail}  {word}", file=out)


def _record_error(verdict: Verdict, error: BaseException, verbose: bool, out: TextIO) -> None:
    headline, _ = explain(error)
    verdict.errors.append(headline)
    for line in error_lines(error, verbose):
        print(f"  {line.replace('qelmo: error: ', 'error: ', 1)}", file=out)
