// Helpers for tests that drive the runtime's classes directly.
#pragma once

#include <string>
#include <vector>

#include "class_registry.h"
#include "com/boundary.h"
#include "com/text.h"

extern "C" mlabi::HRESULT GetRestrictedErrorInfo(mlabi::IRestrictedErrorInfo** info);

namespace runtime_testing {

using namespace mlabi;

// The calling thread's last recorded failure message (and clears it).
inline std::string last_error_message() {
    com_ptr<IRestrictedErrorInfo> info;
    if (GetRestrictedErrorInfo(info.put()) != S_OK || !info) return {};
    HSTRING description = nullptr;
    HRESULT error = S_OK;
    if (failed(info->GetErrorDetails(&description, &error))) return {};
    std::string text = runtime::utf16_to_utf8(hstring_view(description));
    delete_hstring(description);
    return text;
}

// A shape handed to CreateFromArray; can fail on demand.
class shape_iterable final : public mlabi::com_object<shape_iterable, IIterable<int64_t>> {
public:
    // fail_first: First fails; fail_at: MoveNext and GetMany fail when leaving
    // that index; one_at_a_time: GetMany answers E_NOTIMPL.
    explicit shape_iterable(std::vector<int64_t> dims, bool fail_first = false, int fail_at = -1,
                            bool one_at_a_time = false)
        : dims_(std::move(dims)), fail_first_(fail_first), fail_at_(fail_at), one_at_a_time_(one_at_a_time) {}

    HRESULT First(IIterator<int64_t>** first) override {
        *first = nullptr;
        ++iterations;
        if (fail_first_) return E_ILLEGAL_METHOD_CALL;
        auto it = iterator::make(this);
        *first = it.detach();
        return S_OK;
    }

    int iterations = 0;

private:
    class iterator final : public mlabi::com_object<iterator, IIterator<int64_t>> {
    public:
        explicit iterator(shape_iterable* owner) : owner_(com_ptr<shape_iterable>::copy_from(owner)) {}
        HRESULT get_Current(int64_t* current) override {
            if (index_ >= owner_->dims_.size()) return E_BOUNDS;
            *current = owner_->dims_[index_];
            return S_OK;
        }
        HRESULT get_HasCurrent(bool* has) override {
            *has = index_ < owner_->dims_.size();
            return S_OK;
        }
        HRESULT MoveNext(bool* has) override {
            if (static_cast<int>(index_) == owner_->fail_at_) return E_CHANGED_STATE;
            ++index_;
            *has = index_ < owner_->dims_.size();
            return S_OK;
        }
        HRESULT GetMany(uint32_t capacity, int64_t* items, uint32_t* actual) override {
            *actual = 0;
            if (owner_->one_at_a_time_) return E_NOTIMPL;
            while (*actual < capacity && index_ < owner_->dims_.size()) {
                if (static_cast<int>(index_) == owner_->fail_at_) return E_CHANGED_STATE;
                items[(*actual)++] = owner_->dims_[index_++];
            }
            return S_OK;
        }

    private:
        com_ptr<shape_iterable> owner_;
        size_t index_ = 0;
    };

    std::vector<int64_t> dims_;
    bool fail_first_;
    int fail_at_;
    bool one_at_a_time_;
};

// CreateFromArray through the class's activation factory, as callers do.
template <class Typed>
HRESULT create_tensor(std::vector<int64_t> dims, uint32_t count, const typename Typed::element* data,
                      com_ptr<Typed>& tensor) {
    com_ptr<IActivationFactory> factory = runtime::make_tensor_factory<Typed>();
    com_ptr<ITensorStatics<Typed>> statics;
    if (HRESULT hr = factory.as(statics); failed(hr)) return hr;
    auto shape = shape_iterable::make(std::move(dims));
    return statics->CreateFromArray(shape.get(), count, data, tensor.put());
}

// The bytes behind a tensor's memory buffer.
struct buffer_view {
    com_ptr<IMemoryBufferReference> reference;
    uint8_t* data = nullptr;
    uint32_t capacity = 0;
};

inline HRESULT view_buffer(IUnknown* tensor, buffer_view& view) {
    com_ptr<IMemoryBuffer> buffer;
    if (HRESULT hr = com_ptr<IUnknown>::copy_from(tensor).as(buffer); failed(hr)) return hr;
    if (HRESULT hr = buffer->CreateReference(view.reference.put()); failed(hr)) return hr;
    com_ptr<IMemoryBufferByteAccess> access;
    if (HRESULT hr = view.reference.as(access); failed(hr)) return hr;
    return access->GetBuffer(&view.data, &view.capacity);
}

inline std::vector<int64_t> shape_of(ITensor* tensor) {
    com_ptr<IVectorView<int64_t>> view;
    std::vector<int64_t> dims;
    if (failed(tensor->get_Shape(view.put()))) return dims;
    uint32_t size = 0;
    view->get_Size(&size);
    for (uint32_t i = 0; i < size; ++i) {
        int64_t d = 0;
        view->GetAt(i, &d);
        dims.push_back(d);
    }
    return dims;
}

}  // namespace runtime_testing
