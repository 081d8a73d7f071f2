// Names of tensor element kinds, spelled like numpy's dtypes: what model
// inspection reports and what the runtime's messages say, so that both
// binaries name an element type the same way.
#pragma once

#include <cstdint>
#include <string_view>

namespace mlabi {

// Indexed by the TensorKind value.
inline constexpr std::string_view element_type_names[] = {
    "unknown", "float32", "uint8",   "int8",    "uint16", "int16",  "int32",     "int64",
    "string",  "bool",    "float16", "float64", "uint32", "uint64", "complex64", "complex128",
};

// "float32" for Float (1) ... "complex128" for Complex128 (15); "unknown"
// for Undefined and any value outside the enumeration.
constexpr std::string_view element_type_name(int32_t kind) {
    constexpr auto count = static_cast<int32_t>(sizeof(element_type_names) / sizeof(element_type_names[0]));
    return kind < 0 || kind >= count ? element_type_names[0] : element_type_names[kind];
}

}  // namespace mlabi
