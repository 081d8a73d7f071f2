// Direct entry points for the calls a user makes on every evaluation.
#pragma once

#include <pybind11/pybind11.h>

namespace qelmo {

// Puts fast paths in front of QelmoValue(array), QelmoValue.to_numpy,
// QelmoSession.set_input and QelmoSession.evaluate. Call after the classes
// are registered.
void install_fast_calls(pybind11::module_& module);

}  // namespace qelmo
