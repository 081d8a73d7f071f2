#include "tensor/array_from_tensor.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "abi_support/com_ptr.h"
#include "abi_support/float16.h"
#include "abi_support/parallel_copy.h"
#include "projection.h"
#include "tensor/tensor_bytes.h"

namespace qelmo {
namespace py = pybind11;
using namespace mlabi;
using platform::check_status;

namespace {

// A new C-contiguous array of `T` that owns its memory, made by numpy
// straight from the dimensions (no shape and stride vectors on the way).
template <class T>
py::array new_array(const std::vector<int64_t>& shape) {
    static_assert(sizeof(Py_intptr_t) == sizeof(int64_t), "numpy dimensions are 64-bit here");
    const auto& numpy = py::detail::npy_api::get();
    PyObject* made = numpy.PyArray_NewFromDescr_(numpy.PyArray_Type_, py::dtype::of<T>().release().ptr(),
                                                 static_cast<int>(shape.size()),
                                                 reinterpret_cast<const Py_intptr_t*>(shape.data()), nullptr, nullptr,
                                                 0, nullptr);
    if (made == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::array>(made);
}

// A new array holding the tensor's elements: copied as they are, or, for
// Float16 storage, each 16-bit half widened exactly into a float32 array.
template <class TypedTensor>
py::array copy_elements(ITensor* tensor, const std::vector<int64_t>& shape) {
    constexpr bool halves = TypedTensor::kind == TensorKind::Float16;
    using Stored = std::conditional_t<halves, uint16_t, typename TypedTensor::element>;
    using Result = typename TypedTensor::element;
    com_ptr<TypedTensor> typed;
    check_status(com_ptr<ITensor>::copy_from(tensor).as(typed));
    const tensor_bytes storage(tensor);
    const size_t size = bytes_needed(shape, sizeof(Stored));
    const uint8_t* source = storage.read(size);
    py::array result = new_array<Result>(shape);
    if constexpr (!halves) {
        copy_bytes(result.mutable_data(), source, size);
    } else {
        auto* target = static_cast<Result*>(result.mutable_data());
        const size_t count = size / sizeof(Stored);
        for (size_t i = 0; i < count; ++i) {
            Stored half;
            std::memcpy(&half, source + i * sizeof half, sizeof half);
            target[i] = half_to_float(half);
        }
    }
    return result;
}

}  // namespace

std::optional<py::array> array_from_tensor(ITensor* tensor) {
    const std::vector<int64_t> shape = platform::dimensions(platform::get(tensor, &ITensor::get_Shape).get());
    const auto kind = platform::get_value(tensor, &ITensor::get_TensorKind);
    switch (kind) {
#define QELMO_TENSOR_CASE(Interface, Class, Element, Kind, ...) \
    case TensorKind::Kind: return copy_elements<Interface>(tensor, shape);
        QELMO_TENSOR_CLASSES(QELMO_TENSOR_CASE)
#undef QELMO_TENSOR_CASE
    default: return std::nullopt;
    }
}

}  // namespace qelmo
