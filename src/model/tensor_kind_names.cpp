#include "model/tensor_kind_names.h"

#include "abi/element_type_names.h"

namespace qelmo {

std::string tensor_kind_to_string(int32_t kind) { return std::string(mlabi::element_type_name(kind)); }

}  // namespace qelmo
