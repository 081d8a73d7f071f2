// A copy of a serialised ONNX model in which chosen tensors say otherwise
// where their data is: held inline, or at another location. ONNX Runtime
// can be handed a model's external data as files in memory only for the
// initializers of the model's own graph; it looks for any other tensor's
// file by name, and some releases resolve that name against the current
// directory rather than the model's folder. Writing those tensors' data
// into the model leaves it nothing to open.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

struct tensor_rewrite {
    uint64_t begin = 0, end = 0;  // the TensorProto's bytes in the model
    std::string_view data;        // held inline from now on, or
    std::string location;         // when not empty: the new location, data left outside
};

// A copy of `model` (bytes read_onnx_model accepted) with each tensor of
// `rewrites` changed: its external data entries and data location, and any
// inline numbers, replaced by `data` as raw data; or only its location
// replaced. Every other byte is copied as it is, except groups (a wire form
// no ONNX field uses) in the messages around a changed tensor. Throws
// wire_error on bytes it cannot follow, std::bad_alloc.
std::string rewrite_tensors(std::string_view model, std::vector<tensor_rewrite> rewrites);

// The size in bytes of a TensorProto's data, from its dims and data type;
// false when the type has no fixed size or the numbers are not valid.
bool tensor_data_size(std::string_view tensor, uint64_t& size);

}  // namespace runtime
