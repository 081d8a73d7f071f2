// QueryInterface, AddRef and Release, generated from an interface list, for
// every COM object of either binary.
//
//   class Thing : public com_object<Thing, IFoo, IBar> { ... };
//
// answers IUnknown, IFoo and IBar, and each interface's bases (an interface
// that extends another than IUnknown names it: `using base_interface =
// ITensor;`), and is deleted when the last reference goes. A class may also
// answer a private identifier of its own, `implementation_iid`, with a
// pointer to itself (see implementation_of). An object that is part of
// another and lives as long as it derives from com_part instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "abi/unknown.h"
#include "abi_support/com_ptr.h"

namespace mlabi {
namespace com_detail {

template <class I, class = void>
struct base_of {
    using type = void;
};
template <class I>
struct base_of<I, std::void_t<typename I::base_interface>> {
    using type = typename I::base_interface;
};

// `self` seen as `Listed` when `iid` names it or one of its bases.
template <class Listed, class I, class Self>
bool find_in_chain(Self* self, const GUID& iid, void** object) {
    if (iid == I::iid) {
        *object = static_cast<I*>(static_cast<Listed*>(self));
        return true;
    }
    using base = typename base_of<I>::type;
    if constexpr (!std::is_void_v<base>) {
        return find_in_chain<Listed, base>(self, iid, object);
    } else {
        return false;
    }
}

// The one QueryInterface: IUnknown is the first interface listed.
template <class First, class... Rest, class Self>
HRESULT query_interface(Self* self, const GUID& iid, void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IUnknown::iid) {
        *object = static_cast<IUnknown*>(static_cast<First*>(self));
    } else {
        (void)(find_in_chain<First, First>(self, iid, object) || ... || find_in_chain<Rest, Rest>(self, iid, object));
    }
    if (*object == nullptr) return E_NOINTERFACE;
    self->AddRef();
    return S_OK;
}

template <class T, class = void>
struct has_implementation_iid : std::false_type {};
template <class T>
struct has_implementation_iid<T, std::void_t<decltype(T::implementation_iid)>> : std::true_type {};

}  // namespace com_detail

template <class Derived, class... Interfaces>
class com_object : public Interfaces... {
    static_assert(sizeof...(Interfaces) > 0);

public:
    com_object() = default;
    com_object(const com_object&) = delete;
    com_object& operator=(const com_object&) = delete;

    HRESULT QueryInterface(const GUID& iid, void** object) override {
        if constexpr (com_detail::has_implementation_iid<Derived>::value) {
            if (object != nullptr && iid == Derived::implementation_iid) {
                *object = static_cast<Derived*>(this);
                AddRef();
                return S_OK;
            }
        }
        return com_detail::query_interface<Interfaces...>(this, iid, object);
    }

    uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

    uint32_t Release() override {
        const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

    // A new object with one reference, owned by the result; null when memory
    // runs out or the constructor throws.
    template <class... Args>
    static com_ptr<Derived> make(Args&&... args) noexcept {
        try {
            return com_ptr<Derived>::attach(new Derived(std::forward<Args>(args)...));
        } catch (...) {
            return nullptr;
        }
    }

protected:
    virtual ~com_object() = default;

private:
    std::atomic<uint32_t> refs_{1};
};

// Interfaces implemented by a part of another object: the part answers only
// its own interfaces and counts its references on the object it is part of,
// which therefore stays alive while the part is held.
template <class... Interfaces>
class com_part : public Interfaces... {
public:
    explicit com_part(IUnknown& whole) noexcept : whole_(whole) {}
    com_part(const com_part&) = delete;
    com_part& operator=(const com_part&) = delete;

    HRESULT QueryInterface(const GUID& iid, void** object) override {
        return com_detail::query_interface<Interfaces...>(this, iid, object);
    }
    uint32_t AddRef() override { return whole_.AddRef(); }
    uint32_t Release() override { return whole_.Release(); }

protected:
    ~com_part() = default;

private:
    IUnknown& whole_;
};

// The object behind an interface pointer a caller hands back, recognised by
// QueryInterface for the class's private `implementation_iid`; null when the
// object is not one of that class.
template <class Impl>
com_ptr<Impl> implementation_of(IUnknown* object) noexcept {
    void* raw = nullptr;
    if (object == nullptr || object->QueryInterface(Impl::implementation_iid, &raw) < 0 || raw == nullptr) {
        return nullptr;
    }
    return com_ptr<Impl>::attach(static_cast<Impl*>(raw));
}

}  // namespace mlabi
