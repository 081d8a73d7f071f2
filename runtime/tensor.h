// The tensor classes: one COM class per typed tensor interface, all sharing
// tensor_core, which is what bindings and sessions read of a tensor.
#pragma once

#include <onnxruntime_c_api.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "com_object.h"
#include "tensor_shape.h"

namespace runtime {

// A tensor's element bytes: either aligned memory of our own or the buffer of
// an OrtValue that ONNX Runtime produced (released with the storage).
class tensor_storage {
public:
    tensor_storage() = default;
    tensor_storage(tensor_storage&& other) noexcept;
    tensor_storage& operator=(tensor_storage&& other) noexcept;
    tensor_storage(const tensor_storage&) = delete;
    tensor_storage& operator=(const tensor_storage&) = delete;
    ~tensor_storage();

    // `bytes` of uninitialised memory aligned for vector code; never null,
    // even for zero bytes. Throws std::bad_alloc.
    static tensor_storage allocate(size_t bytes);
    // Takes over `value`, whose elements are `bytes` at `data` (null for
    // string tensors).
    static tensor_storage adopt(OrtValue* value, void* data, size_t bytes) noexcept;

    void* data() const { return data_; }
    size_t bytes() const { return bytes_; }

private:
    void reset() noexcept;

    void* data_ = nullptr;
    size_t bytes_ = 0;
    void* block_ = nullptr;  // our own allocation, which data_ lies in
    OrtValue* value_ = nullptr;
};

class tensor_core {
public:
    // Answered by every tensor of this runtime, giving its tensor_core.
    static constexpr GUID iid{0x6A0D5E21, 0x93C4, 0x4B7F, {0x8E, 0x12, 0x5C, 0x3B, 0xA9, 0x47, 0x0D, 0x66}};

    tensor_core(const tensor_core&) = delete;
    tensor_core& operator=(const tensor_core&) = delete;

    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

    TensorKind kind() const { return kind_; }
    const tensor_shape& shape() const { return shape_; }
    // Null for string tensors, whose elements are not plain bytes.
    void* data() const { return storage_.data(); }
    size_t byte_size() const { return storage_.bytes(); }
    size_t element_count() const { return element_count_; }

protected:
    tensor_core(TensorKind kind, tensor_shape&& shape, size_t element_count, tensor_storage&& storage)
        : kind_(kind),
          shape_(std::move(shape)),
          element_count_(element_count),
          storage_(std::move(storage)),
          shape_view_(*this),
          bytes_view_(*this) {}
    ~tensor_core() = default;

    // The shape view and the buffer reference that get_Shape and
    // CreateReference hand out are parts of the tensor, counted on it: reading
    // a tensor allocates nothing. Each is a COM object of its own (its
    // QueryInterface answers only its own interfaces) that keeps the tensor
    // alive while it is held.
    class shape_view final : public IVectorView<int64_t> {
    public:
        explicit shape_view(tensor_core& tensor) noexcept : tensor_(tensor) {}
        HRESULT QueryInterface(const GUID& iid, void** object) override;
        uint32_t AddRef() override { return tensor_.AddRef(); }
        uint32_t Release() override { return tensor_.Release(); }
        HRESULT GetAt(uint32_t index, int64_t* item) override;
        HRESULT get_Size(uint32_t* size) override;

    private:
        tensor_core& tensor_;
    };

    class bytes_view final : public IMemoryBufferReference, public IMemoryBufferByteAccess {
    public:
        explicit bytes_view(tensor_core& tensor) noexcept : tensor_(tensor) {}
        HRESULT QueryInterface(const GUID& iid, void** object) override;
        uint32_t AddRef() override { return tensor_.AddRef(); }
        uint32_t Release() override { return tensor_.Release(); }
        HRESULT get_Capacity(uint32_t* capacity) override;
        HRESULT GetBuffer(uint8_t** value, uint32_t* capacity) override;

    private:
        tensor_core& tensor_;
    };

    shape_view& shape_part() { return shape_view_; }
    bytes_view& bytes_part() { return bytes_view_; }

private:
    TensorKind kind_;
    tensor_shape shape_;
    size_t element_count_;
    tensor_storage storage_;
    shape_view shape_view_;
    bytes_view bytes_view_;
};

// The tensor behind an interface pointer, when it is one of this runtime's.
com_ptr<tensor_core> tensor_core_of(IUnknown* value) noexcept;

// Bytes per element of the kinds stored as plain bytes; 0 for the others
// (String, Undefined).
size_t element_size(TensorKind kind) noexcept;

// "float32", "int64", ... for messages: the names model inspection reports.
std::string element_type_text(TensorKind kind);

// "[2, 3]"; negative (free) dimensions print as "?".
std::string shape_text(const std::vector<int64_t>& shape);
std::string shape_text(const tensor_shape& shape);

// A tensor object over an OrtValue holding a dense tensor; takes over the
// value in every case. Kinds without a typed interface (String, Boolean,
// ...) give a tensor offering ITensor only.
HRESULT make_tensor_over_ort_value(OrtValue* value, com_ptr<IUnknown>& tensor) noexcept;

}  // namespace runtime
