// The LearningModelEvaluationResult runtime class: the outputs of one
// evaluation, as this runtime's values over ONNX Runtime's output buffers.
#pragma once

#include <string>
#include <vector>

#include "com/boundary.h"
#include "onnxruntime/owned_value.h"

namespace runtime {

// Wraps every output (takes over all of `outputs`, whatever happens) under the
// matching name of `names`.
HRESULT make_evaluation_result(std::u16string correlation_id, const std::vector<std::u16string>& names,
                               std::vector<owned_value>& outputs, ILearningModelEvaluationResult** result) noexcept;

}  // namespace runtime
