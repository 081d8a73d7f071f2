#include "classes/feature_descriptor.h"

#include <new>
#include <string>
#include <vector>

#include "com/text.h"
#include "com/vector_view.h"
#include "onnx/element_types.h"

namespace runtime {
namespace {

// What every descriptor answers through ILearningModelFeatureDescriptor.
struct feature_basics {
    std::u16string name;
    std::u16string description;
    LearningModelFeatureKind kind;
    // Inputs listed by a model must all be bound (inputs backed by an
    // initializer are not listed); outputs need not be bound.
    bool required;
};

template <class Derived, class... Extra>
class feature_descriptor_base : public com_object<Derived, ILearningModelFeatureDescriptor, Extra..., IAgileObject> {
public:
    explicit feature_descriptor_base(feature_basics basics) : basics_(std::move(basics)) {}

    HRESULT get_Name(HSTRING* name) override { return hand_out_string(basics_.name, name); }
    HRESULT get_Description(HSTRING* description) override {
        return hand_out_string(basics_.description, description);
    }
    HRESULT get_Kind(LearningModelFeatureKind* kind) override { return hand_out_value(basics_.kind, kind); }
    HRESULT get_IsRequired(bool* required) override { return hand_out_value(basics_.required, required); }

private:
    feature_basics basics_;
};

class tensor_feature_descriptor final
    : public feature_descriptor_base<tensor_feature_descriptor, ITensorFeatureDescriptor> {
public:
    tensor_feature_descriptor(feature_basics basics, TensorKind tensor_kind,
                              com_ptr<IVectorView<int64_t>> shape)
        : feature_descriptor_base(std::move(basics)), tensor_kind_(tensor_kind), shape_(std::move(shape)) {}

    HRESULT get_TensorKind(TensorKind* kind) override { return hand_out_value(tensor_kind_, kind); }
    HRESULT get_Shape(IVectorView<int64_t>** shape) override { return hand_out(shape_, shape); }

private:
    TensorKind tensor_kind_;
    com_ptr<IVectorView<int64_t>> shape_;  // shared by every caller; never changes
};

class image_feature_descriptor final
    : public feature_descriptor_base<image_feature_descriptor, IImageFeatureDescriptor> {
public:
    // `shape`: the four dimensions in NCHW order, -1 where free.
    image_feature_descriptor(feature_basics basics, TensorKind tensor_kind, const std::vector<int64_t>& shape)
        : feature_descriptor_base(std::move(basics)),
          tensor_kind_(tensor_kind),
          channels_(shape[1]),
          height_(shape[2]),
          width_(shape[3]) {}

    HRESULT get_Width(int64_t* width) override { return hand_out_value(width_, width); }
    HRESULT get_Height(int64_t* height) override { return hand_out_value(height_, height); }
    HRESULT get_Channels(int64_t* channels) override { return hand_out_value(channels_, channels); }
    HRESULT get_TensorKind(TensorKind* kind) override { return hand_out_value(tensor_kind_, kind); }

private:
    TensorKind tensor_kind_;
    int64_t channels_, height_, width_;
};

// Sequences, maps and every type that cannot be bound as a plain tensor.
class plain_feature_descriptor final : public feature_descriptor_base<plain_feature_descriptor> {
public:
    using feature_descriptor_base::feature_descriptor_base;
};

bool is_image(const onnx_value_info& value) {
    return value.kind == onnx_value_kind::tensor && value.denotation == "IMAGE" && value.has_shape &&
           value.shape.size() == 4;
}

// Optional, sparse tensor, opaque and untyped values are reported as
// sequences: they are containers the caller cannot bind as a tensor or a map,
// and a Sequence kind already tells callers to expect no tensor descriptor.
LearningModelFeatureKind feature_kind(const onnx_value_info& value) {
    switch (value.kind) {
        case onnx_value_kind::tensor: return is_image(value) ? LearningModelFeatureKind::Image : LearningModelFeatureKind::Tensor;
        case onnx_value_kind::map: return LearningModelFeatureKind::Map;
        case onnx_value_kind::sequence:
        case onnx_value_kind::optional:
        case onnx_value_kind::sparse_tensor:
        case onnx_value_kind::opaque:
        case onnx_value_kind::undefined: break;
    }
    return LearningModelFeatureKind::Sequence;
}

std::vector<int64_t> dimensions(const onnx_value_info& value) {
    std::vector<int64_t> sizes;
    sizes.reserve(value.shape.size());
    for (const onnx_dimension& d : value.shape) sizes.push_back(d.value);
    return sizes;
}

}  // namespace

bool is_tensor_feature(const onnx_value_info& value) noexcept {
    return value.kind == onnx_value_kind::tensor && !is_image(value);
}

com_ptr<ILearningModelFeatureDescriptor> make_feature_descriptor(const onnx_value_info& value, bool is_input) {
    feature_basics basics{utf8_to_utf16(value.name), utf8_to_utf16(value.doc_string), feature_kind(value), is_input};
    const TensorKind tensor_kind = tensor_kind_from_onnx(value.element_type);

    if (is_image(value)) {
        return made_as<ILearningModelFeatureDescriptor>(image_feature_descriptor::make(std::move(basics), tensor_kind, dimensions(value)));
    }
    if (is_tensor_feature(value)) {
        com_ptr<IVectorView<int64_t>> shape = made_as<IVectorView<int64_t>>(vector_view<int64_t>::make(dimensions(value)));
        return made_as<ILearningModelFeatureDescriptor>(tensor_feature_descriptor::make(std::move(basics), tensor_kind, std::move(shape)));
    }
    return made_as<ILearningModelFeatureDescriptor>(plain_feature_descriptor::make(std::move(basics)));
}

}  // namespace runtime
