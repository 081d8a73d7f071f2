// Descriptors of a model's input and output features, made once when the
// model loads and shared by every caller afterwards.
#pragma once

#include <cstdint>

#include "com/boundary.h"
#include "onnx/onnx_model.h"

namespace runtime {

// Whether the value is offered as a tensor feature (ITensorFeatureDescriptor).
bool is_tensor_feature(const onnx_value_info& value) noexcept;

// The descriptor of one feature. Tensors offer ITensorFeatureDescriptor;
// image-denoted four-dimensional tensors offer IImageFeatureDescriptor
// instead; every other type offers only the common interface. Throws
// std::bad_alloc when memory runs out.
com_ptr<ILearningModelFeatureDescriptor> make_feature_descriptor(const onnx_value_info& value, bool is_input);

}  // namespace runtime
