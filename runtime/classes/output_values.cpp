#include "classes/output_values.h"

#include <new>
#include <tuple>
#include <utility>

#include "classes/tensor.h"
#include "onnx/element_types.h"

namespace runtime {
namespace {

// A sequence, map or other output that is not a dense tensor: it tells its
// kind and keeps ONNX Runtime's value, but offers no tensor interface.
class opaque_value final : public com_object<opaque_value, ILearningModelFeatureValue, IAgileObject> {
public:
    opaque_value(LearningModelFeatureKind kind, owned_value value) noexcept : kind_(kind), value_(std::move(value)) {}

    HRESULT get_Kind(LearningModelFeatureKind* kind) override { return hand_out_value(kind_, kind); }

private:
    const LearningModelFeatureKind kind_;
    owned_value value_;
};

com_ptr<IUnknown> output_tensor(owned_value value) {
    Ort::UnownedValue view = value.view();
    auto [kind, shape, count] = with_context("reading an output tensor's shape", [&] {
        const Ort::TensorTypeAndShapeInfo info = view.GetTensorTypeAndShapeInfo();
        tensor_shape dims;
        dims.resize(info.GetDimensionsCount());
        // Into the tensor's own shape: GetShape() would allocate a vector
        // for every output of every evaluation.
        Ort::ThrowOnError(Ort::GetApi().GetDimensions(info, dims.data(), dims.size()));
        return std::tuple(tensor_kind_from_onnx(info.GetElementType()), std::move(dims), info.GetElementCount());
    });
    void* data = nullptr;
    size_t bytes = 0;
    if (element_size(kind) != 0) {
        data = with_context("reading an output tensor's data", [&] { return view.GetTensorMutableRawData(); });
        bytes = count * element_size(kind);
        if (data == nullptr && bytes == 0) data = tensor_buffer::empty_address();
    }
    com_ptr<IUnknown> tensor = make_tensor(kind, std::move(shape), count, tensor_buffer::adopt(std::move(value), data, bytes));
    if (!tensor) throw runtime_failure(E_OUTOFMEMORY, "out of memory wrapping an output tensor");
    return tensor;
}

LearningModelFeatureKind feature_kind_of(ONNXType type) {
    switch (type) {
        case ONNX_TYPE_SEQUENCE: return LearningModelFeatureKind::Sequence;
        case ONNX_TYPE_MAP: return LearningModelFeatureKind::Map;
        default: return LearningModelFeatureKind::Tensor;
    }
}

}  // namespace

com_ptr<IUnknown> wrap_output(owned_value value) {
    // IsTensor answers from the value itself; its type information, which
    // only the rarer sequences and maps need, is a whole description.
    ONNXType type = ONNX_TYPE_UNKNOWN;
    if (value) {
        const Ort::UnownedValue view = value.view();
        const bool is_tensor = with_context("reading an output's type", [&] { return view.IsTensor(); });
        if (is_tensor) return output_tensor(std::move(value));
        type = with_context("reading an output's type", [&] { return view.GetTypeInfo().GetONNXType(); });
    }
    if (type == ONNX_TYPE_TENSOR) return output_tensor(std::move(value));
    auto made = opaque_value::make(feature_kind_of(type), std::move(value));
    if (!made) throw runtime_failure(E_OUTOFMEMORY, "out of memory wrapping an output");
    return com_ptr<IUnknown>::copy_from(static_cast<ILearningModelFeatureValue*>(made.get()));
}

}  // namespace runtime
