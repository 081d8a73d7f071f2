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

bool descriptor_has_kind(PyObject* descriptor, TensorKind kind) {
    switch (kind) {
    case TensorKind::Float:
    case TensorKind::Float16:  // a Float16 tensor is made from float32 elements
        return is_canonical<float>(descriptor);
    case TensorKind::Int64:
        return is_canonical<int64_t>(descriptor) || is_other_64_bit_spelling(descriptor, npy::NPY_LONGLONG_);
    case TensorKind::UInt8:
        return is_canonical<uint8_t>(descriptor);
    case TensorKind::Double:
        return is_canonical<double>(descriptor);
    case TensorKind::Int8:
        return is_canonical<int8_t>(descriptor);
    case TensorKind::UInt16:
        return is_canonical<uint16_t>(descriptor);
    case TensorKind::UInt32:
        return is_canonical<uint32_t>(descriptor);
    case TensorKind::UInt64:
        return is_canonical<uint64_t>(descriptor) || is_other_64_bit_spelling(descriptor, npy::NPY_ULONGLONG_);
    case TensorKind::Int16:
        return is_canonical<int16_t>(descriptor);
    case TensorKind::Int32:
        return is_canonical<int32_t>(descriptor);
    default:
        return false;
    }
}

}  // namespace

TensorKind tensor_kind_for_array(const py::array& array) {
    PyObject* descriptor = reinterpret_cast<PyObject*>(py::detail::array_proxy(array.ptr())->descr);
    // The order of the tests is the order in which the kinds are claimed.
    if (is_canonical<float>(descriptor)) return TensorKind::Float;
    if (is_canonical<int64_t>(descriptor)) return TensorKind::Int64;
    if (is_canonical<uint8_t>(descriptor)) return TensorKind::UInt8;
    if (is_canonical<double>(descriptor)) return TensorKind::Double;
    if (is_canonical<int8_t>(descriptor)) return TensorKind::Int8;
    if (is_canonical<uint16_t>(descriptor)) return TensorKind::UInt16;
    if (is_canonical<uint32_t>(descriptor)) return TensorKind::UInt32;
    if (is_canonical<uint64_t>(descriptor)) return TensorKind::UInt64;
    if (is_canonical<int16_t>(descriptor)) return TensorKind::Int16;
    if (is_canonical<int32_t>(descriptor)) return TensorKind::Int32;
    if (is_other_64_bit_spelling(descriptor, npy::NPY_LONGLONG_)) return TensorKind::Int64;
    if (is_other_64_bit_spelling(descriptor, npy::NPY_ULONGLONG_)) return TensorKind::UInt64;
    throw std::runtime_error("Unsupported numpy data type");
}

bool array_has_kind(const py::array& array, TensorKind kind) {
    PyObject* descriptor = reinterpret_cast<PyObject*>(py::detail::array_proxy(array.ptr())->descr);
    return descriptor_has_kind(descriptor, kind);
}

}  // namespace qelmo
