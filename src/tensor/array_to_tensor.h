// Numpy array -> new platform tensor, one member per element type.
#pragma once

#include <pybind11/numpy.h>

#include "abi/machine_learning.h"
#include "abi_support/com_ptr.h"
#include "tensor/qelmo_value.h"

namespace qelmo {

// A new tensor of the class matching `value`'s recorded kind, holding a
// copy of the array's current elements. Throws:
//  - std::length_error (ValueError) for more than 4,294,967,295 elements;
//  - std::runtime_error "Unsupported numpy data type" when the array's dtype
//    was reassigned and no longer matches the recorded kind;
//  - std::runtime_error "Unsupported tensor kind" for a kind without a
//    tensor class;
//  - the platform error when activation or the factory fails.
mlabi::com_ptr<mlabi::ITensor> create_tensor_from_value(const QelmoValue& value);

// The member for one typed tensor interface, e.g. ITensorFloat.
template <class TypedTensor>
mlabi::com_ptr<mlabi::ITensor> create_tensor_from_array(const pybind11::array& array, mlabi::TensorKind recorded_kind);

}  // namespace qelmo
