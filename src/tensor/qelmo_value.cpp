#include "tensor/qelmo_value.h"

#include <utility>

#include "tensor/tensor_kind.h"

namespace qelmo {

QelmoValue::QelmoValue(pybind11::array array) : array_(std::move(array)), kind_(tensor_kind_for_array(array_)) {}

}  // namespace qelmo
