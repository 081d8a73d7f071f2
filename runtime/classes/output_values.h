// What an evaluation hands out for each ONNX Runtime output: a tensor over
// the output's own buffer (no copy), or, for sequences, maps and other
// values, an object that tells its kind and offers no tensor interface.
#pragma once

#include "com/boundary.h"
#include "onnxruntime/owned_value.h"

namespace runtime {

// Takes over `value`. Throws runtime_failure when ONNX Runtime cannot
// describe it or memory runs out.
com_ptr<IUnknown> wrap_output(owned_value value);

}  // namespace runtime
