#include "classes/tensor.h"

#include <limits>
#include <string>
#include <utility>

#include "onnx/element_types.h"

namespace runtime {
namespace {

// The shape view and the buffer reference that get_Shape and CreateReference
// hand out are parts of the tensor, counted on it: reading a tensor
// allocates nothing, and a held view keeps its tensor alive.
class shape_view final : public com_part<IVectorView<int64_t>, IAgileObject> {
public:
    shape_view(IUnknown& tensor, const tensor_core& core) noexcept : com_part(tensor), core_(core) {}

    HRESULT GetAt(uint32_t index, int64_t* item) override {
        if (item == nullptr) return null_out_parameter();
        if (index >= core_.shape().size()) return index_out_of_range();
        *item = core_.shape()[index];
        return S_OK;
    }
    HRESULT get_Size(uint32_t* size) override {
        if (size == nullptr) return null_out_parameter();
        *size = static_cast<uint32_t>(core_.shape().size());
        return S_OK;
    }

private:
    const tensor_core& core_;
};

class bytes_view final : public com_part<IMemoryBufferReference, IMemoryBufferByteAccess, IAgileObject> {
public:
    bytes_view(IUnknown& tensor, const tensor_core& core) noexcept : com_part(tensor), core_(core) {}

    HRESULT get_Capacity(uint32_t* capacity) override {
        return hand_out_value(static_cast<uint32_t>(core_.byte_size()), capacity);
    }
    HRESULT GetBuffer(uint8_t** value, uint32_t* capacity) override {
        if (value == nullptr || capacity == nullptr) return null_out_parameter();
        *value = static_cast<uint8_t*>(core_.data());
        *capacity = static_cast<uint32_t>(core_.byte_size());
        return S_OK;
    }

private:
    const tensor_core& core_;
};

template <class Interface>
class Tensor final
    : public com_object<Tensor<Interface>, Interface, ILearningModelFeatureValue, IMemoryBuffer, ITensorCore, IAgileObject> {
public:
    Tensor(TensorKind kind, tensor_shape&& shape, size_t element_count, tensor_buffer&& buffer) noexcept
        : core_(kind, std::move(shape), element_count, std::move(buffer)),
          shape_view_(unknown(), core_),
          bytes_view_(unknown(), core_) {}

    HRESULT get_TensorKind(TensorKind* kind) override { return hand_out_value(core_.kind(), kind); }
    HRESULT get_Shape(IVectorView<int64_t>** shape) override {
        if (shape == nullptr) return null_out_parameter();
        *shape = &shape_view_;
        shape_view_.AddRef();
        return S_OK;
    }
    HRESULT get_Kind(LearningModelFeatureKind* kind) override {
        return hand_out_value(LearningModelFeatureKind::Tensor, kind);
    }
    HRESULT CreateReference(IMemoryBufferReference** reference) override;
    const tensor_core& core() noexcept override { return core_; }

private:
    IUnknown& unknown() noexcept { return *static_cast<Interface*>(this); }

    tensor_core core_;
    shape_view shape_view_;
    bytes_view bytes_view_;
};

template <class Interface>
HRESULT Tensor<Interface>::CreateReference(IMemoryBufferReference** reference) {
    if (reference == nullptr) return null_out_parameter();
    *reference = nullptr;
    if (core_.data() == nullptr || element_size(core_.kind()) == 0) {
        return fail(E_NOTIMPL, "tensors of element type " + element_type_text(core_.kind()) + " offer no byte buffer");
    }
    if (core_.byte_size() > std::numeric_limits<uint32_t>::max()) {
        return fail(E_BOUNDS, "the tensor's " + std::to_string(core_.byte_size()) +
                                  " bytes exceed what a memory buffer can describe");
    }
    *reference = &bytes_view_;
    bytes_view_.AddRef();
    return S_OK;
}

template <class Interface>
com_ptr<IUnknown> as_unknown(com_ptr<Interface> tensor) {
    return com_ptr<IUnknown>::attach(tensor.detach());
}

}  // namespace

template <class Interface>
com_ptr<Interface> make_typed_tensor(TensorKind kind, tensor_shape&& shape, size_t element_count,
                                     tensor_buffer&& buffer) {
    auto made = Tensor<Interface>::make(kind, std::move(shape), element_count, std::move(buffer));
    return com_ptr<Interface>::attach(made.detach());
}

com_ptr<IUnknown> make_tensor(TensorKind kind, tensor_shape&& shape, size_t element_count, tensor_buffer&& buffer) {
    switch (kind) {
#define QELMO_TENSOR_CASE(Interface, Class, Element, Kind, ...) \
    case TensorKind::Kind:                                      \
        return as_unknown(make_typed_tensor<Interface>(kind, std::move(shape), element_count, std::move(buffer)));
        QELMO_TENSOR_CLASSES(QELMO_TENSOR_CASE)
#undef QELMO_TENSOR_CASE
        default: return as_unknown(make_typed_tensor<ITensor>(kind, std::move(shape), element_count, std::move(buffer)));
    }
}

#define QELMO_TYPED_TENSOR(Interface, ...) \
    template com_ptr<Interface> make_typed_tensor<Interface>(TensorKind, tensor_shape&&, size_t, tensor_buffer&&);
QELMO_TENSOR_CLASSES(QELMO_TYPED_TENSOR)
#undef QELMO_TYPED_TENSOR

}  // namespace runtime
