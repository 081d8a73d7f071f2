#include "tensor.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "abi/element_type_names.h"
#include "abi/float16.h"
#include "big_block_cache.h"
#include "class_registry.h"
#include "error_info.h"
#include "feature_descriptor.h"
#include "huge_pages.h"
#include "onnxruntime_library.h"
#include "shared_factory.h"

namespace runtime {
namespace {

constexpr size_t storage_alignment = 64;  // a cache line; enough for any vector unit
constexpr uint32_t max_rank = 1024;       // far beyond any real model; stops runaway iterables

// Address handed out for empty buffers so that callers never see null.
alignas(storage_alignment) unsigned char empty_buffer[storage_alignment];

// One COM class per typed interface; Interface = ITensor for the kinds that
// have no typed interface (String, Boolean, ...).
template <class Interface>
class Tensor final : public com_object<Tensor<Interface>, Interface, ILearningModelFeatureValue, IMemoryBuffer, IAgileObject>,
                     public tensor_core {
    using base = com_object<Tensor<Interface>, Interface, ILearningModelFeatureValue, IMemoryBuffer, IAgileObject>;

public:
    Tensor(TensorKind kind, tensor_shape&& shape, size_t element_count, tensor_storage&& storage)
        : tensor_core(kind, std::move(shape), element_count, std::move(storage)) {}

    uint32_t AddRef() override { return base::AddRef(); }
    uint32_t Release() override { return base::Release(); }

    HRESULT get_TensorKind(TensorKind* kind) override {
        if (kind == nullptr) return fail(E_POINTER, "null out-parameter");
        *kind = this->tensor_core::kind();
        return S_OK;
    }
    HRESULT get_Shape(IVectorView<int64_t>** shape) override;
    HRESULT get_Kind(LearningModelFeatureKind* kind) override {
        if (kind == nullptr) return fail(E_POINTER, "null out-parameter");
        *kind = LearningModelFeatureKind::Tensor;
        return S_OK;
    }
    HRESULT CreateReference(IMemoryBufferReference** reference) override;

protected:
    HRESULT query_extra(const GUID& iid, void** object) override {
        if (iid != tensor_core::iid) return E_NOINTERFACE;
        *object = static_cast<tensor_core*>(this);
        AddRef();
        return S_OK;
    }
};

template <class Interface>
HRESULT Tensor<Interface>::get_Shape(IVectorView<int64_t>** shape) {
    if (shape == nullptr) return fail(E_POINTER, "null out-parameter");
    *shape = &this->shape_part();
    (*shape)->AddRef();
    return S_OK;
}

template <class Interface>
HRESULT Tensor<Interface>::CreateReference(IMemoryBufferReference** reference) {
    if (reference == nullptr) return fail(E_POINTER, "null out-parameter");
    *reference = nullptr;
    if (this->data() == nullptr || element_size(this->tensor_core::kind()) == 0) {
        return fail(E_NOTIMPL, "tensors of element type " + element_type_text(this->tensor_core::kind()) +
                                   " offer no byte buffer");
    }
    if (this->byte_size() > std::numeric_limits<uint32_t>::max()) {
        return fail(E_BOUNDS, "the tensor's " + std::to_string(this->byte_size()) +
                                  " bytes exceed what a memory buffer can describe");
    }
    *reference = &this->bytes_part();
    (*reference)->AddRef();
    return S_OK;
}

// Reads every dimension from `shape` once; checks each is non-negative and
// that their product (without overflow) equals `count`.
HRESULT read_shape(IIterable<int64_t>* shape, uint32_t count, tensor_shape& dims) {
    if (shape == nullptr) return fail(E_POINTER, "CreateFromArray: the shape is null");
    com_ptr<IIterator<int64_t>> it;
    HRESULT hr = shape->First(it.put());
    if (failed(hr) || !it) return fail(failed(hr) ? hr : E_POINTER, "CreateFromArray: the shape could not be iterated");
    // Whole runs at a time; one element at a time from iterators without GetMany.
    int64_t run[16];
    uint32_t got = 0;
    hr = it->GetMany(16, run, &got);
    bool has_current = succeeded(hr);
    if (hr == E_NOTIMPL) {
        hr = it->get_HasCurrent(&has_current);
        while (succeeded(hr) && has_current && dims.size() <= max_rank) {
            int64_t dim = 0;
            hr = it->get_Current(&dim);
            if (failed(hr)) break;
            dims.push_back(dim);
            hr = it->MoveNext(&has_current);
        }
    } else {
        while (succeeded(hr) && dims.size() <= max_rank) {
            dims.append(run, std::min<uint32_t>(got, 16));
            if (got < 16) break;
            hr = it->GetMany(16, run, &got);
        }
    }
    if (failed(hr)) return fail(hr, "CreateFromArray: iterating the shape failed");
    if (dims.size() > max_rank) {
        return fail(E_INVALIDARG, "CreateFromArray: the shape has more than " + std::to_string(max_rank) + " dimensions");
    }

    uint64_t product = 1;
    bool overflow = false;
    for (int64_t dim : dims) {
        if (dim < 0) {
            return fail(E_INVALIDARG, "CreateFromArray: shape " + shape_text(dims) + " has a negative dimension");
        }
        overflow = overflow || __builtin_mul_overflow(product, static_cast<uint64_t>(dim), &product);
    }
    // A zero dimension makes the product 0 whatever the others are.
    for (int64_t dim : dims) {
        if (dim == 0) product = 0, overflow = false;
    }
    if (overflow || product != count) {
        return fail(E_INVALIDARG, "CreateFromArray: " + std::to_string(count) +
                                      " elements do not fill shape " + shape_text(dims));
    }
    return S_OK;
}

template <class Typed>
class tensor_statics final
    : public com_object<tensor_statics<Typed>, IActivationFactory, ITensorStatics<Typed>, IAgileObject> {
public:
    using element = typename Typed::element;

    HRESULT ActivateInstance(IUnknown** instance) override {
        if (instance != nullptr) *instance = nullptr;
        return fail(E_NOTIMPL, "tensors are made with CreateFromArray");
    }

    HRESULT CreateFromArray(IIterable<int64_t>* shape, uint32_t count, const element* data, Typed** tensor) override {
        if (tensor == nullptr) return fail(E_POINTER, "null out-parameter");
        *tensor = nullptr;
        try {
            tensor_shape dims;
            if (HRESULT hr = read_shape(shape, count, dims); failed(hr)) return hr;
            if (data == nullptr && count != 0) return fail(E_POINTER, "CreateFromArray: the element data is null");
            constexpr TensorKind kind = Typed::kind;
            tensor_storage storage = tensor_storage::allocate(size_t{count} * element_size(kind));
            if constexpr (kind == TensorKind::Float16) {
                floats_to_halves(data, static_cast<uint16_t*>(storage.data()), count);
            } else if (count != 0) {
                std::memcpy(storage.data(), data, size_t{count} * sizeof(element));
            }
            auto made = Tensor<Typed>::make(kind, std::move(dims), count, std::move(storage));
            if (!made) return fail(E_OUTOFMEMORY, "out of memory creating a tensor");
            *tensor = made.detach();
            return S_OK;
        } catch (const std::bad_alloc&) {
            return fail(E_OUTOFMEMORY, "out of memory creating a tensor of " + std::to_string(count) + " elements");
        } catch (...) {
            return fail(E_FAIL, "CreateFromArray failed unexpectedly");
        }
    }
};

template <class Interface>
com_ptr<IUnknown> make_tensor_of(TensorKind kind, tensor_shape&& shape, size_t count, tensor_storage&& storage) {
    auto made = Tensor<Interface>::make(kind, std::move(shape), count, std::move(storage));
    return com_ptr<IUnknown>::copy_from(made ? static_cast<IUnknown*>(static_cast<Interface*>(made.get())) : nullptr);
}

// Shape and storage are moved from only when the tensor is made.
com_ptr<IUnknown> make_tensor_by_kind(TensorKind kind, tensor_shape&& shape, size_t count, tensor_storage&& storage) {
    switch (kind) {
        case TensorKind::Float: return make_tensor_of<ITensorFloat>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::Float16: return make_tensor_of<ITensorFloat16Bit>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::Double: return make_tensor_of<ITensorDouble>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::Int8: return make_tensor_of<ITensorInt8Bit>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::UInt8: return make_tensor_of<ITensorUInt8Bit>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::Int16: return make_tensor_of<ITensorInt16Bit>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::UInt16: return make_tensor_of<ITensorUInt16Bit>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::Int32: return make_tensor_of<ITensorInt32Bit>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::UInt32: return make_tensor_of<ITensorUInt32Bit>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::Int64: return make_tensor_of<ITensorInt64Bit>(kind, std::move(shape), count, std::move(storage));
        case TensorKind::UInt64: return make_tensor_of<ITensorUInt64Bit>(kind, std::move(shape), count, std::move(storage));
        default: return make_tensor_of<ITensor>(kind, std::move(shape), count, std::move(storage));
    }
}

// Whole huge pages for `bytes`; 0 when there is no such size.
size_t huge_pages_for(size_t bytes) noexcept {
    if (bytes > SIZE_MAX - huge_page_size) return 0;
    return (bytes + huge_page_size - 1) / huge_page_size * huge_page_size;
}

}  // namespace

tensor_storage::tensor_storage(tensor_storage&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      block_(std::exchange(other.block_, nullptr)),
      value_(std::exchange(other.value_, nullptr)) {}

tensor_storage& tensor_storage::operator=(tensor_storage&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
        block_ = std::exchange(other.block_, nullptr);
        value_ = std::exchange(other.value_, nullptr);
    }
    return *this;
}

tensor_storage::~tensor_storage() { reset(); }

void tensor_storage::reset() noexcept {
    if (bytes_ >= huge_page_threshold) {
        give_back_big_block(block_, huge_pages_for(bytes_));
    } else {
        std::free(block_);
    }
    if (value_ != nullptr) ort().ReleaseValue(value_);
    data_ = nullptr;
    bytes_ = 0;
    block_ = nullptr;
    value_ = nullptr;
}

tensor_storage tensor_storage::allocate(size_t bytes) {
    tensor_storage storage;
    if (bytes >= huge_page_threshold) {
        const size_t rounded = huge_pages_for(bytes);
        if (rounded < bytes) throw std::bad_alloc();
        storage.block_ = take_big_block(rounded);
        if (storage.block_ == nullptr) {
            // Big tensors start on a huge page so that all of them can use huge pages.
            storage.block_ = std::aligned_alloc(huge_page_size, rounded);
            if (storage.block_ == nullptr) throw std::bad_alloc();
            advise_huge_pages(storage.block_, rounded);
        }
        storage.data_ = storage.block_;
    } else {
        // Small tensors are made on every evaluation: a plain allocation,
        // aligned by hand, is several times cheaper than an aligned one and
        // stays in the allocator's per-thread cache.
        storage.block_ = std::malloc(bytes + storage_alignment - 1);
        if (storage.block_ == nullptr) throw std::bad_alloc();
        const auto address = reinterpret_cast<uintptr_t>(storage.block_);
        storage.data_ = reinterpret_cast<void*>((address + storage_alignment - 1) & ~uintptr_t{storage_alignment - 1});
    }
    storage.bytes_ = bytes;
    return storage;
}

tensor_storage tensor_storage::adopt(OrtValue* value, void* data, size_t bytes) noexcept {
    tensor_storage storage;
    storage.value_ = value;
    storage.data_ = data;
    storage.bytes_ = bytes;
    return storage;
}

HRESULT tensor_core::shape_view::QueryInterface(const GUID& iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (iid != IUnknown::iid && iid != IVectorView<int64_t>::iid && iid != IAgileObject::iid) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    *object = static_cast<IVectorView<int64_t>*>(this);
    AddRef();
    return S_OK;
}

HRESULT tensor_core::shape_view::GetAt(uint32_t index, int64_t* item) {
    if (item == nullptr) return E_POINTER;
    if (index >= tensor_.shape().size()) return E_BOUNDS;
    *item = tensor_.shape()[index];
    return S_OK;
}

HRESULT tensor_core::shape_view::get_Size(uint32_t* size) {
    if (size == nullptr) return E_POINTER;
    *size = static_cast<uint32_t>(tensor_.shape().size());
    return S_OK;
}

HRESULT tensor_core::bytes_view::QueryInterface(const GUID& iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (iid == IUnknown::iid || iid == IMemoryBufferReference::iid || iid == IAgileObject::iid) {
        *object = static_cast<IMemoryBufferReference*>(this);
    } else if (iid == IMemoryBufferByteAccess::iid) {
        *object = static_cast<IMemoryBufferByteAccess*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT tensor_core::bytes_view::get_Capacity(uint32_t* capacity) {
    if (capacity == nullptr) return fail(E_POINTER, "null out-parameter");
    *capacity = static_cast<uint32_t>(tensor_.byte_size());
    return S_OK;
}

HRESULT tensor_core::bytes_view::GetBuffer(uint8_t** value, uint32_t* capacity) {
    if (value == nullptr || capacity == nullptr) return fail(E_POINTER, "null out-parameter");
    *value = static_cast<uint8_t*>(tensor_.data());
    *capacity = static_cast<uint32_t>(tensor_.byte_size());
    return S_OK;
}

com_ptr<tensor_core> tensor_core_of(IUnknown* value) noexcept {
    void* raw = nullptr;
    if (value == nullptr || failed(value->QueryInterface(tensor_core::iid, &raw)) || raw == nullptr) return nullptr;
    return com_ptr<tensor_core>::attach(static_cast<tensor_core*>(raw));
}

size_t element_size(TensorKind kind) noexcept {
    switch (kind) {
        case TensorKind::UInt8:
        case TensorKind::Int8:
        case TensorKind::Boolean: return 1;
        case TensorKind::UInt16:
        case TensorKind::Int16:
        case TensorKind::Float16: return 2;
        case TensorKind::Float:
        case TensorKind::Int32:
        case TensorKind::UInt32: return 4;
        case TensorKind::Int64:
        case TensorKind::UInt64:
        case TensorKind::Double:
        case TensorKind::Complex64: return 8;
        case TensorKind::Complex128: return 16;
        default: return 0;
    }
}

std::string element_type_text(TensorKind kind) {
    return std::string(element_type_name(static_cast<int32_t>(kind)));
}

std::string shape_text(const tensor_shape& shape) { return shape_text(shape.to_vector()); }

std::string shape_text(const std::vector<int64_t>& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i != 0) text += ", ";
        text += shape[i] < 0 ? std::string("?") : std::to_string(shape[i]);
    }
    return text + "]";
}

HRESULT make_tensor_over_ort_value(OrtValue* value, com_ptr<IUnknown>& tensor) noexcept {
    tensor = nullptr;
    const OrtApi& api = ort();
    // Owns `value` until the tensor's storage does.
    struct value_guard {
        OrtValue* value;
        ~value_guard() {
            if (value != nullptr) ort().ReleaseValue(value);
        }
    } guard{value};
    try {
        OrtTensorTypeAndShapeInfo* info = nullptr;
        if (HRESULT hr = check_ort(api.GetTensorTypeAndShape(value, &info), "reading an output tensor's shape"); failed(hr)) {
            return hr;
        }
        ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
        size_t rank = 0;
        size_t count = 0;
        tensor_shape shape;
        OrtStatus* status = api.GetTensorElementType(info, &type);
        if (status == nullptr) status = api.GetDimensionsCount(info, &rank);
        if (status == nullptr) {
            shape.resize(rank);
            status = api.GetDimensions(info, shape.data(), rank);
        }
        if (status == nullptr) status = api.GetTensorShapeElementCount(info, &count);
        api.ReleaseTensorTypeAndShapeInfo(info);
        if (HRESULT hr = check_ort(status, "reading an output tensor's shape"); failed(hr)) return hr;

        const TensorKind kind = tensor_kind_from_onnx(type);
        void* data = nullptr;
        size_t bytes = 0;
        if (element_size(kind) != 0) {
            if (HRESULT hr = check_ort(api.GetTensorMutableData(value, &data), "reading an output tensor's data");
                failed(hr)) {
                return hr;
            }
            bytes = count * element_size(kind);
            if (data == nullptr && bytes == 0) data = empty_buffer;
        }
        tensor_storage storage = tensor_storage::adopt(std::exchange(guard.value, nullptr), data, bytes);
        tensor = make_tensor_by_kind(kind, std::move(shape), count, std::move(storage));
        if (!tensor) return fail(E_OUTOFMEMORY, "out of memory wrapping an output tensor");
        return S_OK;
    } catch (const std::bad_alloc&) {
        return fail(E_OUTOFMEMORY, "out of memory wrapping an output tensor");
    }
}

template <class TypedTensor>
com_ptr<IActivationFactory> make_tensor_factory() {
    return shared_factory<tensor_statics<TypedTensor>>();
}

template com_ptr<IActivationFactory> make_tensor_factory<ITensorFloat>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorFloat16Bit>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorDouble>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorInt8Bit>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorUInt8Bit>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorInt16Bit>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorUInt16Bit>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorInt32Bit>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorUInt32Bit>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorInt64Bit>();
template com_ptr<IActivationFactory> make_tensor_factory<ITensorUInt64Bit>();

}  // namespace runtime
