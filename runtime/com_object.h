// Reference counting and QueryInterface for every runtime object.
//
//   class Thing : public com_object<Thing, IFoo, IBar> { ... };
//
// answers IUnknown, IFoo and IBar (and each interface's parent, see
// interface_parent), and is deleted when the last reference goes.
#pragma once

#include <atomic>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "abi/com_ptr.h"
#include "abi/machine_learning.h"

namespace runtime {

using namespace mlabi;

// The interface an interface extends, when it extends more than IUnknown.
template <class I>
struct interface_parent {
    using type = void;
};
template <>
struct interface_parent<ITensorFloat> { using type = ITensor; };
template <>
struct interface_parent<ITensorFloat16Bit> { using type = ITensor; };
template <>
struct interface_parent<ITensorDouble> { using type = ITensor; };
template <>
struct interface_parent<ITensorInt8Bit> { using type = ITensor; };
template <>
struct interface_parent<ITensorUInt8Bit> { using type = ITensor; };
template <>
struct interface_parent<ITensorInt16Bit> { using type = ITensor; };
template <>
struct interface_parent<ITensorUInt16Bit> { using type = ITensor; };
template <>
struct interface_parent<ITensorInt32Bit> { using type = ITensor; };
template <>
struct interface_parent<ITensorUInt32Bit> { using type = ITensor; };
template <>
struct interface_parent<ITensorInt64Bit> { using type = ITensor; };
template <>
struct interface_parent<ITensorUInt64Bit> { using type = ITensor; };

template <class T, class = void>
struct has_implementation_iid : std::false_type {};
template <class T>
struct has_implementation_iid<T, std::void_t<decltype(T::implementation_iid)>> : std::true_type {};

template <class Derived, class... Interfaces>
class com_object : public Interfaces... {
    static_assert(sizeof...(Interfaces) > 0);

public:
    com_object() = default;
    com_object(const com_object&) = delete;
    com_object& operator=(const com_object&) = delete;
    virtual ~com_object() = default;

    HRESULT QueryInterface(const GUID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (iid == IUnknown::iid) {
            *object = static_cast<IUnknown*>(static_cast<first_interface*>(this));
        } else if (is_implementation_iid(iid)) {
            *object = static_cast<Derived*>(this);
        } else {
            (void)(find<Interfaces>(iid, object) || ...);
        }
        if (*object == nullptr) return query_extra(iid, object);
        AddRef();
        return S_OK;
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
    // Objects that answer more identifiers than their base list (for example
    // internal ones) override this; on success it must AddRef.
    virtual HRESULT query_extra(const GUID&, void**) { return E_NOINTERFACE; }

private:
    static bool is_implementation_iid(const GUID& iid) {
        if constexpr (has_implementation_iid<Derived>::value) {
            return iid == Derived::implementation_iid;
        } else {
            return false;
        }
    }

    using first_interface = std::tuple_element_t<0, std::tuple<Interfaces...>>;

    template <class I>
    bool find(const GUID& iid, void** object) {
        return find_in_chain<I, I>(iid, object);
    }

    template <class Listed, class I>
    bool find_in_chain(const GUID& iid, void** object) {
        if (iid == I::iid) {
            *object = static_cast<I*>(static_cast<Listed*>(this));
            return true;
        }
        using parent = typename interface_parent<I>::type;
        if constexpr (!std::is_void_v<parent>) {
            return find_in_chain<Listed, parent>(iid, object);
        } else {
            return false;
        }
    }

    std::atomic<uint32_t> refs_{1};
};

// The runtime object behind an interface pointer that a caller hands back,
// recognised by QueryInterface for the class's private `implementation_iid`;
// null when the object is not one of ours of that class.
template <class Impl>
com_ptr<Impl> implementation_of(IUnknown* object) noexcept {
    void* raw = nullptr;
    if (object == nullptr || object->QueryInterface(Impl::implementation_iid, &raw) < 0 || raw == nullptr) {
        return nullptr;
    }
    return com_ptr<Impl>::attach(static_cast<Impl*>(raw));
}

// Writes a new reference to `object` into an out-parameter.
template <class I, class T>
HRESULT hand_out(const com_ptr<T>& object, I** out) noexcept {
    if (out == nullptr) return E_POINTER;
    *out = static_cast<I*>(object.get());
    if (*out != nullptr) (*out)->AddRef();
    return S_OK;
}

// Writes an owned copy of `text` into an out-parameter.
inline HRESULT hand_out_string(std::u16string_view text, HSTRING* out) noexcept {
    if (out == nullptr) return E_POINTER;
    return create_hstring(text, out) ? S_OK : E_OUTOFMEMORY;
}

}  // namespace runtime
