// What the runtime knows of each tensor element kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "abi/machine_learning.h"

namespace runtime {

// Bytes per element of the kinds stored as plain bytes; 0 for the others
// (String, Undefined).
size_t element_size(mlabi::TensorKind kind) noexcept;

// "float32", "int64", ... for messages: the names model inspection reports.
std::string element_type_text(mlabi::TensorKind kind);

// The element kind for an ONNX TensorProto.DataType: 1..15 share their
// numbering with TensorKind; anything else (bfloat16, the 8-bit and 4-bit
// float and integer types, unset) is Undefined.
mlabi::TensorKind tensor_kind_from_onnx(int32_t element_type) noexcept;

}  // namespace runtime
