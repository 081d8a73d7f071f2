#include "tensor/array_to_tensor.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "activation.h"
#include "platform_error.h"
#include "tensor/shape_iterable.h"
#include "tensor/tensor_kind.h"

namespace qelmo {
namespace py = pybind11;
using namespace mlabi;
using platform::check_status;
using platform::factory_slot;

namespace {

// One cached statics slot per tensor class.
template <class TypedTensor>
struct tensor_class {
    static inline factory_slot<ITensorStatics<TypedTensor>> statics{TypedTensor::runtime_class};
};

constexpr uint64_t max_tensor_elements = std::numeric_limits<uint32_t>::max();

// Refuses arrays whose element count does not fit the factory's 32-bit
// count. Reads only the dimensions, so a huge broadcast view is refused
// before anything is copied.
void check_element_count(const py::array& array) {
    const py::ssize_t rank = array.ndim();
    const py::ssize_t* dims = array.shape();
    uint64_t count = 1;
    bool too_many = false;
    for (py::ssize_t i = 0; i < rank; ++i) {
        const auto dim = static_cast<uint64_t>(dims[i]);
        if (dim == 0) return;  // empty: no elements, whatever the other extents
        if (too_many) continue;
        // Both factors below 2^32: the product cannot overflow (and no
        // division is needed, this runs for every input of every evaluation).
        if (dim > max_tensor_elements) too_many = true;
        else if ((count *= dim) > max_tensor_elements) too_many = true;
    }
    if (too_many || count > max_tensor_elements) {
        std::string shape;
        for (py::ssize_t i = 0; i < rank; ++i) shape += (i ? ", " : "") + std::to_string(dims[i]);
        throw std::length_error("array of shape (" + shape + ") has more than 4294967295 elements, "
                                "the most a tensor can hold");
    }
}

// The array itself when the factory can read it as one gap-free, aligned,
// row-major run of elements; otherwise a C-contiguous copy, which the
// caller holds until the factory has returned.
py::array row_major(const py::array& array) {
    constexpr int wanted = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
    if ((py::detail::array_proxy(array.ptr())->flags & wanted) == wanted) return array;
    PyObject* copy = py::detail::npy_api::get().PyArray_FromAny_(
        array.ptr(), nullptr, 0, 0, wanted | py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_, nullptr);
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::array>(copy);
}

}  // namespace

template <class TypedTensor>
com_ptr<ITensor> create_tensor_from_array(const py::array& array, TensorKind recorded_kind) {
    using element = typename TypedTensor::element;
    check_element_count(array);
    if (!array_has_kind(array, recorded_kind)) throw std::runtime_error("Unsupported numpy data type");

    // The array's own fields give the address, extents and element size: a
    // buffer request would make numpy build format and stride descriptions
    // that are never read, on every input of every evaluation.
    const py::array contiguous = row_major(array);
    if (contiguous.itemsize() != static_cast<py::ssize_t>(sizeof(element))) {
        throw std::runtime_error("Unsupported numpy data type");
    }
    static_assert(sizeof(py::ssize_t) == sizeof(int64_t), "numpy dimensions are 64-bit here");
    const auto count = static_cast<uint32_t>(contiguous.size());

    com_ptr<ShapeIterable> shape =
        ShapeIterable::make(reinterpret_cast<const int64_t*>(contiguous.shape()), static_cast<size_t>(contiguous.ndim()));
    com_ptr<TypedTensor> tensor;
    {
        ShapeIterableCloser closer(shape.get());
        auto statics = tensor_class<TypedTensor>::statics.get();
        check_status(statics->CreateFromArray(shape.get(), count, static_cast<const element*>(contiguous.data()),
                                              tensor.put()));
    }
    return com_ptr<ITensor>::attach(tensor.detach());
}

com_ptr<ITensor> create_tensor_from_value(const QelmoValue& value) {
    const py::array& array = value.array();
    const TensorKind kind = value.kind();
    switch (kind) {
#define QELMO_TENSOR_CASE(Interface, Class, Element, Kind, ...) \
    case TensorKind::Kind: return create_tensor_from_array<Interface>(array, kind);
        QELMO_TENSOR_CLASSES(QELMO_TENSOR_CASE)
#undef QELMO_TENSOR_CASE
    default: throw std::runtime_error("Unsupported tensor kind");
    }
}

#define QELMO_TENSOR_FROM_ARRAY(Interface, ...) \
    template com_ptr<ITensor> create_tensor_from_array<Interface>(const py::array&, TensorKind);
QELMO_TENSOR_CLASSES(QELMO_TENSOR_FROM_ARRAY)
#undef QELMO_TENSOR_FROM_ARRAY

}  // namespace qelmo
