#include "feature_descriptor.h"

#include <new>
#include <string>
#include <vector>

#include "text.h"
#include "vector_view.h"

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
    HRESULT get_Kind(LearningModelFeatureKind* kind) override {
        if (kind == nullptr) return E_POINTER;
        *kind = basics_.kind;
        return S_OK;
    }
    HRESULT get_IsRequired(bool* required) override {
        if (required == nullptr) return E_POINTER;
        *required = basics_.required;
        return S_OK;
    }

private:
    feature_basics basics_;
};

class tensor_feature_descriptor final
    : public feature_descriptor_base<tensor_feature_descriptor, ITensorFeatureDescriptor> {
public:
    tensor_feature_descriptor(feature_basics basics, TensorKind tensor_kind,
                              com_ptr<IVectorView<int64_t>> shape)
        : feature_descriptor_base(std::move(basics)), tensor_kind_(tensor_kind), shape_(std::move(shape)) {}

    HRESULT get_TensorKind(TensorKind* kind) override {
        if (kind == nullptr) return E_POINTER;
        *kind = tensor_kind_;
        return S_OK;
    }
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

    HRESULT get_Width(int64_t* width) override { return give(width_, width); }
    HRESULT get_Height(int64_t* height) override { return give(height_, height); }
    HRESULT get_Channels(int64_t* channels) override { return give(channels_, channels); }
    HRESULT get_TensorKind(TensorKind* kind) override {
        if (kind == nullptr) return E_POINTER;
        *kind = tensor_kind_;
        return S_OK;
    }

private:
    static HRESULT give(int64_t value, int64_t* out) {
        if (out == nullptr) return E_POINTER;
        *out = value;
        return S_OK;
    }

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

// A freshly made object as one of its interfaces; `make` answers null only
// when memory runs out.
template <class I, class T>
com_ptr<I> made(com_ptr<T> object) {
    if (!object) throw std::bad_alloc();
    return com_ptr<I>::attach(object.detach());
}

}  // namespace

TensorKind tensor_kind_from_onnx(int32_t element_type) noexcept {
    if (element_type >= 1 && element_type <= 15) return static_cast<TensorKind>(element_type);
    return TensorKind::Undefined;
}

bool is_tensor_feature(const onnx_value_info& value) noexcept {
    return value.kind == onnx_value_kind::tensor && !is_image(value);
}

com_ptr<ILearningModelFeatureDescriptor> make_feature_descriptor(const onnx_value_info& value, bool is_input) {
    feature_basics basics{utf8_to_utf16(value.name), utf8_to_utf16(value.doc_string), feature_kind(value), is_input};
    const TensorKind tensor_kind = tensor_kind_from_onnx(value.element_type);

    if (is_image(value)) {
        return made<ILearningModelFeatureDescriptor>(image_feature_descriptor::make(std::move(basics), tensor_kind, dimensions(value)));
    }
    if (is_tensor_feature(value)) {
        com_ptr<IVectorView<int64_t>> shape = made<IVectorView<int64_t>>(vector_view<int64_t>::make(dimensions(value)));
        return made<ILearningModelFeatureDescriptor>(tensor_feature_descriptor::make(std::move(basics), tensor_kind, std::move(shape)));
    }
    return made<ILearningModelFeatureDescriptor>(plain_feature_descriptor::make(std::move(basics)));
}

}  // namespace runtime
