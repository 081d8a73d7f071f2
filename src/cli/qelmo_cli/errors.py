"""The tool's own error type, and how any error is shown to the user."""

import re
from typing import List, Tuple

# A runtime refusal's note: "status 0x80070057: input 'x': shape [4] ...".
_STATUS_NOTE = re.compile(r"^status (0x[0-9A-Fa-f]+): (.*)$", re.DOTALL)
# What the ONNX reader tripped over, after the runtime's guess at what a file
# that is not a model holds ("notes.txt looks like text (ONNX reader: ...)"):
# nothing a user can act on, so shown with --verbose only.
_PARSER_DETAIL = re.compile(r" \(ONNX reader: [^\n]*\)$")


class InputError(Exception):
    """Something the user gave (an option, a file, a folder) cannot be used;
    the message says what and why."""


class WorkerFailed(Exception):
    """An error in a worker process, explained there (see `explain`)."""

    def __init__(self, headline: str, details: List[str]) -> None:
        super().__init__(headline)
        self.details = details


def explain(error: BaseException) -> Tuple[str, List[str]]:
    """A headline and the lines below it. A runtime refusal is a
    RuntimeError with a fixed text and the cause in its note: the cause
    makes the headline, and the fixed text and status stay below it, so
    that both can still be searched for."""
    if isinstance(error, WorkerFailed):
        return str(error), error.details
    notes = [str(note) for note in getattr(error, "__notes__", [])]
    if isinstance(error, RuntimeError) and notes:
        match = _STATUS_NOTE.match(notes[0])
        if match:
            status, cause = match.groups()
            # What follows the cause's first line (ONNX Runtime's warnings) goes below it.
            headline, *more = cause.split("\n")
            return headline, [f"({type(error).__name__}: {error}; status {status})"] + more + notes[1:]
    return str(error) or type(error).__name__, notes


def error_lines(error: BaseException, verbose: bool = False) -> List[str]:
    headline, details = explain(error)
    if not verbose:
        headline = _PARSER_DETAIL.sub("", headline)
    return [f"qelmo: error: {headline}"] + [f"  {line}" for line in details]
