// What a file that is not an ONNX model looks like, so that the error can
// say "this is text" rather than what the ONNX reader tripped over.
#pragma once

#include <string>
#include <string_view>

namespace runtime {

// A guess from the file's bytes ("text", "an ONNX TensorProto file, which
// holds a tensor, not a model", ...), or empty when it looks like nothing
// in particular (a damaged model, say).
std::string file_kind_guess(std::string_view bytes);

// The message for a file the ONNX reader refused with `reason`.
std::string not_a_model_message(std::string_view bytes, const std::string& reason, const std::string& path);

}  // namespace runtime
