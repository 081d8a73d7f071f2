// IVectorView over a vector that never changes after construction.
#pragma once

#include <vector>

#include "com/boundary.h"

namespace runtime {

template <class T>
class vector_view final : public com_object<vector_view<T>, IVectorView<T>, IAgileObject> {
public:
    using element = T;
    explicit vector_view(std::vector<T> items) : items_(std::move(items)) {}

    HRESULT GetAt(uint32_t index, T* item) override {
        if (item == nullptr) return null_out_parameter();
        if (index >= items_.size()) return index_out_of_range();
        *item = items_[index];
        return S_OK;
    }
    HRESULT get_Size(uint32_t* size) override { return hand_out_value(static_cast<uint32_t>(items_.size()), size); }

private:
    std::vector<T> items_;
};

// Interface elements: GetAt hands out a new reference.
template <class I>
class vector_view<I*> final : public com_object<vector_view<I*>, IVectorView<I*>, IAgileObject> {
public:
    explicit vector_view(std::vector<com_ptr<I>> items) : items_(std::move(items)) {}

    HRESULT GetAt(uint32_t index, I** item) override {
        if (item == nullptr) return null_out_parameter();
        *item = nullptr;
        if (index >= items_.size()) return index_out_of_range();
        return hand_out(items_[index], item);
    }
    HRESULT get_Size(uint32_t* size) override { return hand_out_value(static_cast<uint32_t>(items_.size()), size); }

private:
    std::vector<com_ptr<I>> items_;
};

// String elements: GetAt hands out an owned copy.
template <>
class vector_view<HSTRING> final : public com_object<vector_view<HSTRING>, IVectorView<HSTRING>, IAgileObject> {
public:
    explicit vector_view(std::vector<std::u16string> items) : items_(std::move(items)) {}

    HRESULT GetAt(uint32_t index, HSTRING* item) override {
        if (item == nullptr) return null_out_parameter();
        *item = nullptr;
        if (index >= items_.size()) return index_out_of_range();
        return hand_out_string(items_[index], item);
    }
    HRESULT get_Size(uint32_t* size) override { return hand_out_value(static_cast<uint32_t>(items_.size()), size); }

private:
    std::vector<std::u16string> items_;
};

}  // namespace runtime
