// Read-only collections crossing the boundary. Elements are int64_t, HSTRING
// or interface pointers. Getters hand out what the receiver owns: an owned
// string it deletes, or an interface pointer it releases.
#pragma once

#include "abi/hstring.h"
#include "abi/unknown.h"

namespace mlabi {

// Identifiers of each collection interface, per element type.
template <class T>
struct collection_ids;

template <class T>
struct IIterator : IUnknown {
    static constexpr GUID iid = collection_ids<T>::iterator;
    virtual HRESULT get_Current(T* current) = 0;
    virtual HRESULT get_HasCurrent(bool* has_current) = 0;
    virtual HRESULT MoveNext(bool* has_current) = 0;
    // Copies up to `capacity` elements from the current position on and
    // advances past them; `actual` is how many were copied.
    virtual HRESULT GetMany(uint32_t capacity, T* items, uint32_t* actual) = 0;
};

template <class T>
struct IIterable : IUnknown {
    static constexpr GUID iid = collection_ids<T>::iterable;
    virtual HRESULT First(IIterator<T>** first) = 0;
};

template <class T>
struct IVectorView : IUnknown {
    static constexpr GUID iid = collection_ids<T>::vector_view;
    virtual HRESULT GetAt(uint32_t index, T* item) = 0;
    virtual HRESULT get_Size(uint32_t* size) = 0;
};

template <class K, class V>
struct map_view_id;

template <class K, class V>
struct IMapView : IUnknown {
    static constexpr GUID iid = map_view_id<K, V>::value;
    // E_BOUNDS when the key is absent.
    virtual HRESULT Lookup(K key, V* value) = 0;
    virtual HRESULT get_Size(uint32_t* size) = 0;
    virtual HRESULT HasKey(K key, bool* found) = 0;
    // Iteration over the keys, in the map's own order.
    virtual HRESULT GetKeys(IVectorView<K>** keys) = 0;
};

template <>
struct collection_ids<int64_t> {
    static constexpr GUID iterator{0x31E6112D, 0xE9F6, 0x4882, {0x99, 0x12, 0x5D, 0x80, 0x18, 0xE5, 0xD4, 0x7C}};
    static constexpr GUID iterable{0x0031EB4D, 0xAA52, 0x4A2E, {0x94, 0x22, 0x62, 0x7E, 0x1C, 0x2B, 0xAB, 0x7C}};
    static constexpr GUID vector_view{0x163D37B1, 0x1811, 0x4F29, {0x83, 0x1D, 0x59, 0xE8, 0x6D, 0xE5, 0x28, 0x76}};
};

template <>
struct collection_ids<HSTRING> {
    static constexpr GUID iterator{0x5B0E7A8C, 0x3D41, 0x4F6E, {0x9A, 0x27, 0x10, 0xC4, 0x8E, 0x51, 0x2B, 0x93}};
    static constexpr GUID iterable{0x6C1F8B9D, 0x4E52, 0x4071, {0x8B, 0x38, 0x21, 0xD5, 0x9F, 0x62, 0x3C, 0xA4}};
    static constexpr GUID vector_view{0x7D209CAE, 0x5F63, 0x4182, {0x9C, 0x49, 0x32, 0xE6, 0xA0, 0x73, 0x4D, 0xB5}};
};

template <>
struct map_view_id<HSTRING, HSTRING> {
    static constexpr GUID value{0x8E31ADBF, 0x6074, 0x4293, {0xAD, 0x5A, 0x43, 0xF7, 0xB1, 0x84, 0x5E, 0xC6}};
};

template <>
struct map_view_id<HSTRING, IUnknown*> {
    static constexpr GUID value{0x9F42BEC0, 0x7185, 0x43A4, {0xBE, 0x6B, 0x54, 0x08, 0xC2, 0x95, 0x6F, 0xD7}};
};

}  // namespace mlabi
