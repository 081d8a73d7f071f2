// Which platform element kind a numpy array stands for.
#pragma once

#include <pybind11/numpy.h>

#include "abi/machine_learning.h"

namespace qelmo {

// The kind of `array`, decided from its descriptor: numpy's canonical
// descriptor of a supported element type, or an equal copy of one (as an
// unpickled array has); throws std::runtime_error "Unsupported numpy data
// type" for any other element type (float16, bool, byte-swapped, with
// metadata, ...).
mlabi::TensorKind tensor_kind_for_array(const pybind11::array& array);

// Whether `array`'s descriptor is still one that `kind` was decided from.
// numpy lets a dtype be reassigned in place, so a recorded kind can go stale.
bool array_has_kind(const pybind11::array& array, mlabi::TensorKind kind);

}  // namespace qelmo
