// Element type names of tensor features, named like numpy's dtypes.
#pragma once

#include <cstdint>
#include <string>

namespace qelmo {

// "float32" for Float (1) ... "complex128" for Complex128 (15); "unknown"
// for Undefined and any value outside the enumeration.
std::string tensor_kind_to_string(int32_t kind);

}  // namespace qelmo
