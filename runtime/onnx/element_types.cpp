#include "onnx/element_types.h"

#include "abi/element_type_names.h"

namespace runtime {

using mlabi::TensorKind;

size_t element_size(TensorKind kind) noexcept {
    switch (kind) {
        case TensorKind::UInt8:
        case TensorKind::Int8:
        case TensorKind::Boolean: return 1;
        case TensorKind::UInt16:
        case TensorKind::Int16:
        case TensorKind::Float16: return 2;
        case TensorKind::Float:
        case TensorKind::Int32:
        case TensorKind::UInt32: return 4;
        case TensorKind::Int64:
        case TensorKind::UInt64:
        case TensorKind::Double:
        case TensorKind::Complex64: return 8;
        case TensorKind::Complex128: return 16;
        default: return 0;
    }
}

std::string element_type_text(TensorKind kind) {
    return std::string(mlabi::element_type_name(static_cast<int32_t>(kind)));
}

TensorKind tensor_kind_from_onnx(int32_t element_type) noexcept {
    if (element_type >= 1 && element_type <= 15) return static_cast<TensorKind>(element_type);
    return TensorKind::Undefined;
}

}  // namespace runtime
