"""Sessions with their inputs staged, and one evaluation's outputs."""

from typing import Dict, Mapping

import qelmo

from qelmo_cli.devices import DEVICE_TYPES
from qelmo_cli.tensor_files import Array


def staged_session(model: qelmo.QelmoModel, device: str, arrays: Mapping[str, Array]) -> qelmo.QelmoSession:
    """A session on `device` ("cpu" or "gpu") with every array staged; staged
    values stay staged across evaluations."""
    session = qelmo.QelmoSession(model, DEVICE_TYPES[device])
    stage(session, arrays)
    return session


def stage(session: qelmo.QelmoSession, arrays: Mapping[str, Array]) -> None:
    for name, array in arrays.items():
        session.set_input(name, qelmo.QelmoValue(array))


def evaluate_once(session: qelmo.QelmoSession) -> Dict[str, Array]:
    """The outputs as arrays, in the model's declared order (evaluate()'s)."""
    return {name: value.to_numpy() for name, value in session.evaluate().items()}


def left_out_outputs(model: qelmo.QelmoModel, outputs: Mapping[str, Array]) -> Dict[str, str]:
    """Outputs that qelmo does not return, by design, with the reason."""
    tensor_types = {name: element_type for name, _, element_type in model.get_output_details()}
    reasons = {}
    for name in model.get_output_names():
        if name in outputs:
            continue
        if name in tensor_types:
            reasons[name] = f"{tensor_types[name]} tensors are not returned by qelmo"
        else:
            reasons[name] = "a sequence or map, which qelmo does not return"
    return reasons
