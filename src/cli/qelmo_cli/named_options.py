"""Options of the form NAME=VALUE that name one of the model's inputs."""

from typing import Sequence, Tuple

from qelmo_cli.errors import InputError


def split_named_option(flag: str, option: str, names: Sequence[str], form: str) -> Tuple[str, str]:
    """Splits NAME=VALUE. Input names may contain '=' themselves, so the name
    is matched against the model's input names, longest first."""
    for name in sorted(names, key=len, reverse=True):
        if option.startswith(name + "="):
            return name, option[len(name) + 1 :]
    if "=" not in option:
        raise InputError(f"{flag} {option}: expected {form}")
    name = option.split("=", 1)[0]
    known = ", ".join(names) or "none"
    raise InputError(f"{flag} {option}: the model has no input named '{name}' (its inputs: {known})")
