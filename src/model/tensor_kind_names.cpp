#include "model/tensor_kind_names.h"

namespace qelmo {

std::string tensor_kind_to_string(int32_t kind) {
    // Indexed by the TensorKind value.
    static constexpr const char* names[] = {
        "unknown", "float32", "uint8",   "int8",   "uint16",  "int16",     "int32",     "int64",
        "string",  "bool",    "float16", "float64", "uint32", "uint64", "complex64", "complex128",
    };
    constexpr int32_t count = static_cast<int32_t>(sizeof(names) / sizeof(names[0]));
    if (kind < 0 || kind >= count) return "unknown";
    return names[kind];
}

}  // namespace qelmo
