#include "tensor/tensor_kind.h"

#include <cstdint>
#include <stdexcept>

namespace qelmo {
namespace py = pybind11;
using mlabi::TensorKind;

namespace {

using npy = py::detail::npy_api;

// numpy spells a native 64-bit integer two ways on LP64 platforms: `long`
// (what dtype::of<int64_t>() answers) and `longlong`. Both describe the
// same elements, so both are taken. Where long is 32 bits `longlong` is
// the canonical spelling and this test repeats the canonical one.
bool is_other_64_bit_spelling(PyObject* descriptor, int type_num) {
    static_assert(sizeof(long long) == 8, "longlong must be a 64-bit integer");
    return descriptor == py::dtype(type_num).ptr();
}

template <class T>
bool is_canonical(PyObject* descriptor) {
    return descriptor == py::dtype::of<T>().ptr();
}

// Whether `descriptor` is numpy's own object for `kind`'s elements: the test
// made for every input of every evaluation, so it compares only with that
// kind's descriptors.
bool is_canonical_for(PyObject* descriptor, TensorKind kind) {
    switch (kind) {
    case TensorKind::Float: return is_canonical<float>(descriptor);
    case TensorKind::Int64:
        return is_canonical<int64_t>(descriptor) || is_other_64_bit_spelling(descriptor, npy::NPY_LONGLONG_);
    case TensorKind::UInt8: return is_canonical<uint8_t>(descriptor);
    case TensorKind::Double: return is_canonical<double>(descriptor);
    case TensorKind::Int8: return is_canonical<int8_t>(descriptor);
    case TensorKind::UInt16: return is_canonical<uint16_t>(descriptor);
    case TensorKind::UInt32: return is_canonical<uint32_t>(descriptor);
    case TensorKind::UInt64:
        return is_canonical<uint64_t>(descriptor) || is_other_64_bit_spelling(descriptor, npy::NPY_ULONGLONG_);
    case TensorKind::Int16: return is_canonical<int16_t>(descriptor);
    case TensorKind::Int32: return is_canonical<int32_t>(descriptor);
    default: return false;
    }
}

// The kind a descriptor stands for when it is numpy's own object for it,
// tested in the order in which the kinds are claimed; Undefined otherwise.
TensorKind kind_of_canonical(PyObject* descriptor) {
    static constexpr TensorKind claimed[] = {
        TensorKind::Float, TensorKind::Int64,  TensorKind::UInt8,  TensorKind::Double, TensorKind::Int8,
        TensorKind::UInt16, TensorKind::UInt32, TensorKind::UInt64, TensorKind::Int16,  TensorKind::Int32,
    };
    for (TensorKind kind : claimed) {
        if (is_canonical_for(descriptor, kind)) return kind;
    }
    return TensorKind::Undefined;
}

// An array that crossed a pickle (sent to another process, say) carries an
// equal copy of numpy's descriptor rather than the object itself. A copy
// stands for the kind of the canonical descriptor of its type number when it
// describes plain native elements: native byte order, no fields, no
// metadata. Undefined otherwise.
TensorKind kind_of_equal_copy(PyObject* descriptor) {
    const auto dtype = py::reinterpret_borrow<py::dtype>(descriptor);
    constexpr char native_order = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? '>' : '<';
    const char order = dtype.byteorder();
    if ((order != '=' && order != '|' && order != native_order) ||
        dtype.has_fields() || !dtype.attr("metadata").is_none()) {
        return TensorKind::Undefined;
    }
    const py::dtype canonical(dtype.num());
    return canonical.itemsize() == dtype.itemsize() ? kind_of_canonical(canonical.ptr()) : TensorKind::Undefined;
}

TensorKind kind_of_descriptor(PyObject* descriptor) {
    const TensorKind kind = kind_of_canonical(descriptor);
    return kind != TensorKind::Undefined ? kind : kind_of_equal_copy(descriptor);
}

PyObject* descriptor_of(const py::array& array) {
    return reinterpret_cast<PyObject*>(py::detail::array_proxy(array.ptr())->descr);
}

}  // namespace

TensorKind tensor_kind_for_array(const py::array& array) {
    const TensorKind kind = kind_of_descriptor(descriptor_of(array));
    if (kind == TensorKind::Undefined) throw std::runtime_error("Unsupported numpy data type");
    return kind;
}

bool array_has_kind(const py::array& array, TensorKind kind) {
    PyObject* descriptor = descriptor_of(array);
    // A Float16 tensor is made from float32 elements.
    const TensorKind wanted = kind == TensorKind::Float16 ? TensorKind::Float : kind;
    if (is_canonical_for(descriptor, wanted)) return true;
    return kind_of_equal_copy(descriptor) == wanted;
}

}  // namespace qelmo
