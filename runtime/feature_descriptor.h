// Descriptors of a model's input and output features, made once when the
// model loads and shared by every caller afterwards.
#pragma once

#include <cstdint>

#include "com_object.h"
#include "onnx_model.h"

namespace runtime {

// The element kind for an ONNX TensorProto.DataType: 1..15 share their
// numbering with TensorKind; anything else (bfloat16, the 8-bit and 4-bit
// float and integer types, unset) is Undefined.
TensorKind tensor_kind_from_onnx(int32_t element_type) noexcept;

// Whether the value is offered as a tensor feature (ITensorFeatureDescriptor).
bool is_tensor_feature(const onnx_value_info& value) noexcept;

// The descriptor of one feature. Tensors offer ITensorFeatureDescriptor;
// image-denoted four-dimensional tensors offer IImageFeatureDescriptor
// instead; every other type offers only the common interface. Throws
// std::bad_alloc when memory runs out.
com_ptr<ILearningModelFeatureDescriptor> make_feature_descriptor(const onnx_value_info& value, bool is_input);

}  // namespace runtime
