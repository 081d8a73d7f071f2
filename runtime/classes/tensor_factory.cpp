// The tensor classes' statics: CreateFromArray checks the shape it is given
// against the element count and copies the elements into a new tensor.
#include <algorithm>
#include <cstring>
#include <string>

#include "abi_support/float16.h"
#include "abi_support/parallel_copy.h"
#include "class_registry.h"
#include "classes/tensor.h"
#include "com/class_factory.h"
#include "onnx/element_types.h"

namespace runtime {
namespace {

constexpr uint32_t max_rank = 1024;  // far beyond any real model; stops runaway iterables

// Appends every dimension of `it` to `dims`: whole runs at a time, or one
// element at a time from iterators without GetMany. Stops past max_rank.
HRESULT append_dimensions(IIterator<int64_t>& it, tensor_shape& dims) {
    int64_t run[16];
    uint32_t got = 0;
    HRESULT hr = it.GetMany(16, run, &got);
    if (hr == E_NOTIMPL) {
        bool has_current = false;
        hr = it.get_HasCurrent(&has_current);
        while (succeeded(hr) && has_current && dims.size() <= max_rank) {
            int64_t dim = 0;
            hr = it.get_Current(&dim);
            if (failed(hr)) break;
            dims.push_back(dim);
            hr = it.MoveNext(&has_current);
        }
        return hr;
    }
    while (succeeded(hr) && dims.size() <= max_rank) {
        dims.append(run, std::min<uint32_t>(got, 16));
        if (got < 16) break;
        hr = it.GetMany(16, run, &got);
    }
    return hr;
}

// Checks each dimension is non-negative and that their product (without
// overflow) equals `count`.
HRESULT check_element_count(const tensor_shape& dims, uint32_t count) {
    uint64_t product = 1;
    bool overflow = false;
    for (int64_t dim : dims) {
        if (dim < 0) {
            return fail(E_INVALIDARG, "CreateFromArray: shape " + shape_text(dims) + " has a negative dimension");
        }
        overflow = overflow || __builtin_mul_overflow(product, static_cast<uint64_t>(dim), &product);
    }
    // A zero dimension makes the product 0 whatever the others are.
    for (int64_t dim : dims) {
        if (dim == 0) product = 0, overflow = false;
    }
    if (overflow || product != count) {
        return fail(E_INVALIDARG, "CreateFromArray: " + std::to_string(count) + " elements do not fill shape " +
                                      shape_text(dims));
    }
    return S_OK;
}

// Reads every dimension from `shape` once.
HRESULT read_shape(IIterable<int64_t>* shape, uint32_t count, tensor_shape& dims) {
    if (shape == nullptr) return fail(E_POINTER, "CreateFromArray: the shape is null");
    com_ptr<IIterator<int64_t>> it;
    HRESULT hr = shape->First(it.put());
    if (failed(hr) || !it) return fail(failed(hr) ? hr : E_POINTER, "CreateFromArray: the shape could not be iterated");
    hr = append_dimensions(*it, dims);
    if (failed(hr)) return fail(hr, "CreateFromArray: iterating the shape failed");
    if (dims.size() > max_rank) {
        return fail(E_INVALIDARG, "CreateFromArray: the shape has more than " + std::to_string(max_rank) + " dimensions");
    }
    return check_element_count(dims, count);
}

template <class Typed>
class tensor_statics final : public class_factory<tensor_statics<Typed>, ITensorStatics<Typed>> {
public:
    using element = typename Typed::element;
    static constexpr const char* how_to_make = "tensors are made with CreateFromArray";

    HRESULT CreateFromArray(IIterable<int64_t>* shape, uint32_t count, const element* data, Typed** tensor) override {
        if (tensor == nullptr) return null_out_parameter();
        *tensor = nullptr;
        const auto out_of_memory = [count] {
            return "out of memory creating a tensor of " + std::to_string(count) + " elements";
        };
        return at_boundary(out_of_memory, "CreateFromArray failed unexpectedly", [&] {
            tensor_shape dims;
            if (HRESULT hr = read_shape(shape, count, dims); failed(hr)) return hr;
            if (data == nullptr && count != 0) return fail(E_POINTER, "CreateFromArray: the element data is null");
            constexpr TensorKind kind = Typed::kind;
            tensor_buffer buffer = tensor_buffer::allocate(size_t{count} * element_size(kind));
            if constexpr (kind == TensorKind::Float16) {
                floats_to_halves(data, static_cast<uint16_t*>(buffer.data()), count);
            } else {
                mlabi::copy_bytes(buffer.data(), data, size_t{count} * sizeof(element));
            }
            com_ptr<Typed> made = make_typed_tensor<Typed>(kind, std::move(dims), count, std::move(buffer));
            if (!made) return fail(E_OUTOFMEMORY, "out of memory creating a tensor");
            *tensor = made.detach();
            return S_OK;
        });
    }
};

}  // namespace

template <class TypedTensor>
com_ptr<IActivationFactory> make_tensor_factory() {
    return shared_factory<tensor_statics<TypedTensor>>();
}

#define QELMO_TENSOR_FACTORY(Interface, ...) template com_ptr<IActivationFactory> make_tensor_factory<Interface>();
QELMO_TENSOR_CLASSES(QELMO_TENSOR_FACTORY)
#undef QELMO_TENSOR_FACTORY

}  // namespace runtime
