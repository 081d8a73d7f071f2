// The one counted-reference smart pointer over interfaces of the contract.
#pragma once

#include <cstddef>
#include <utility>

#include "abi/unknown.h"

namespace mlabi {

template <class T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    com_ptr(const com_ptr& other) noexcept : p_(other.p_) { add_ref(); }
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~com_ptr() { release(); }

    com_ptr& operator=(const com_ptr& other) noexcept {
        if (p_ != other.p_) {
            T* old = p_;
            p_ = other.p_;
            add_ref();
            if (old) old->Release();
        }
        return *this;
    }
    com_ptr& operator=(com_ptr&& other) noexcept {
        if (this != &other) {
            release();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    com_ptr& operator=(std::nullptr_t) noexcept {
        release();
        return *this;
    }

    // Takes over a reference the caller already owns.
    static com_ptr attach(T* raw) noexcept {
        com_ptr result;
        result.p_ = raw;
        return result;
    }
    // Adds a reference to a pointer the caller does not own.
    static com_ptr copy_from(T* raw) noexcept {
        com_ptr result;
        result.p_ = raw;
        result.add_ref();
        return result;
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Releases what is held and exposes the slot as an out-parameter.
    T** put() noexcept {
        release();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    T* detach() noexcept { return std::exchange(p_, nullptr); }

    // QueryInterface for U; null when the object does not offer it.
    template <class U>
    com_ptr<U> try_as() const noexcept {
        com_ptr<U> result;
        if (p_ != nullptr && p_->QueryInterface(U::iid, result.put_void()) < 0) result = nullptr;
        return result;
    }
    template <class U>
    HRESULT as(com_ptr<U>& result) const noexcept {
        if (p_ == nullptr) return E_POINTER;
        return p_->QueryInterface(U::iid, result.put_void());
    }

    friend bool operator==(const com_ptr& a, const com_ptr& b) noexcept { return a.p_ == b.p_; }
    friend bool operator!=(const com_ptr& a, const com_ptr& b) noexcept { return a.p_ != b.p_; }

private:
    void add_ref() noexcept {
        if (p_) p_->AddRef();
    }
    void release() noexcept {
        if (T* old = std::exchange(p_, nullptr)) old->Release();
    }

    T* p_ = nullptr;
};

}  // namespace mlabi
