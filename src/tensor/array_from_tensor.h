// Platform output tensor -> new numpy array holding a copy of its elements.
#pragma once

#include <pybind11/numpy.h>

#include <optional>

#include "abi/machine_learning.h"

namespace qelmo {

// A new C-contiguous, writeable array that owns its memory, with the
// tensor's shape and elements; Float16 tensors come back as float32.
// Nothing for kinds without a numpy counterpart here (string, bool,
// complex, undefined). Throws the platform error when a platform call
// fails, and std::runtime_error when the tensor's buffer is smaller than its
// shape says.
std::optional<pybind11::array> array_from_tensor(mlabi::ITensor* tensor);

}  // namespace qelmo
