// The tensor classes: one COM class per typed tensor interface, and one for
// the kinds that have none (String, Boolean, ...). Each holds a tensor_core,
// which is what bindings and sessions read of a tensor.
#pragma once

#include <cstddef>

#include "classes/tensor_buffer.h"
#include "classes/tensor_shape.h"
#include "com/boundary.h"

namespace runtime {

class tensor_core {
public:
    tensor_core(TensorKind kind, tensor_shape&& shape, size_t element_count, tensor_buffer&& buffer) noexcept
        : kind_(kind), shape_(std::move(shape)), element_count_(element_count), buffer_(std::move(buffer)) {}

    TensorKind kind() const { return kind_; }
    const tensor_shape& shape() const { return shape_; }
    // Null for string tensors, whose elements are not plain bytes.
    void* data() const { return buffer_.data(); }
    size_t byte_size() const { return buffer_.bytes(); }
    size_t element_count() const { return element_count_; }

private:
    TensorKind kind_;
    tensor_shape shape_;
    size_t element_count_;
    tensor_buffer buffer_;
};

// Offered by every tensor of this runtime, so that a tensor handed back (to
// Bind, say) is told from a foreign object and read.
struct ITensorCore : IUnknown {
    static constexpr GUID iid{0x6A0D5E21, 0x93C4, 0x4B7F, {0x8E, 0x12, 0x5C, 0x3B, 0xA9, 0x47, 0x0D, 0x66}};
    virtual const tensor_core& core() noexcept = 0;
};

// The tensor behind an interface pointer, when it is one of this runtime's.
inline com_ptr<ITensorCore> tensor_core_of(IUnknown* value) noexcept {
    com_ptr<ITensorCore> tensor;
    if (value == nullptr || failed(value->QueryInterface(ITensorCore::iid, tensor.put_void()))) return nullptr;
    return tensor;
}

// A new tensor offering `Interface` (a typed tensor interface, or ITensor
// for the kinds without one); `shape` and `buffer` are moved from only when
// it is made. Null when memory runs out.
template <class Interface>
com_ptr<Interface> make_typed_tensor(TensorKind kind, tensor_shape&& shape, size_t element_count,
                                     tensor_buffer&& buffer);

// The same for a kind known only at run time: its typed interface when it
// has one.
com_ptr<IUnknown> make_tensor(TensorKind kind, tensor_shape&& shape, size_t element_count, tensor_buffer&& buffer);

}  // namespace runtime
