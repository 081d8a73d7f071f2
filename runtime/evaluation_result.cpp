#include "evaluation_result.h"

#include <new>
#include <utility>

#include "error_info.h"
#include "map_view.h"
#include "onnxruntime_library.h"
#include "tensor.h"

namespace runtime {
namespace {

// A sequence, map or other output that is not a dense tensor: it tells its
// kind and keeps ONNX Runtime's value, but offers no tensor interface.
class opaque_value final : public com_object<opaque_value, ILearningModelFeatureValue, IAgileObject> {
public:
    opaque_value(LearningModelFeatureKind kind, OrtValue* value) : kind_(kind), value_(value) {}
    ~opaque_value() override {
        if (value_ != nullptr) ort().ReleaseValue(value_);
    }

    HRESULT get_Kind(LearningModelFeatureKind* kind) override {
        if (kind == nullptr) return fail(E_POINTER, "null out-parameter");
        *kind = kind_;
        return S_OK;
    }

private:
    const LearningModelFeatureKind kind_;
    OrtValue* const value_;
};

class LearningModelEvaluationResult final
    : public com_object<LearningModelEvaluationResult, ILearningModelEvaluationResult, IAgileObject> {
public:
    LearningModelEvaluationResult(std::u16string correlation_id, com_ptr<map_view<IUnknown*>> outputs)
        : correlation_id_(std::move(correlation_id)), outputs_(std::move(outputs)) {}

    HRESULT get_CorrelationId(HSTRING* correlation_id) override { return hand_out_string(correlation_id_, correlation_id); }
    HRESULT get_ErrorStatus(int32_t* status) override {
        if (status == nullptr) return fail(E_POINTER, "null out-parameter");
        *status = 0;
        return S_OK;
    }
    HRESULT get_Succeeded(bool* succeeded) override {
        if (succeeded == nullptr) return fail(E_POINTER, "null out-parameter");
        *succeeded = true;
        return S_OK;
    }
    HRESULT get_Outputs(IMapView<HSTRING, IUnknown*>** outputs) override { return hand_out(outputs_, outputs); }

private:
    const std::u16string correlation_id_;
    const com_ptr<map_view<IUnknown*>> outputs_;
};

// Takes over `value` in every case.
HRESULT wrap_output(OrtValue* value, com_ptr<IUnknown>& wrapped) {
    // IsTensor answers from the value itself; GetValueType builds a whole
    // type description, which only the rarer sequences and maps need.
    int is_tensor = 0;
    if (value != nullptr) {
        if (HRESULT hr = check_ort(ort().IsTensor(value, &is_tensor), "reading an output's type"); failed(hr)) {
            ort().ReleaseValue(value);
            return hr;
        }
        if (is_tensor != 0) return make_tensor_over_ort_value(value, wrapped);
    }
    ONNXType type = ONNX_TYPE_UNKNOWN;
    if (value != nullptr) {
        if (HRESULT hr = check_ort(ort().GetValueType(value, &type), "reading an output's type"); failed(hr)) {
            ort().ReleaseValue(value);
            return hr;
        }
    }
    if (type == ONNX_TYPE_TENSOR) return make_tensor_over_ort_value(value, wrapped);
    const LearningModelFeatureKind kind = type == ONNX_TYPE_SEQUENCE ? LearningModelFeatureKind::Sequence
                                          : type == ONNX_TYPE_MAP    ? LearningModelFeatureKind::Map
                                                                     : LearningModelFeatureKind::Tensor;
    auto made = opaque_value::make(kind, value);
    if (!made) {
        if (value != nullptr) ort().ReleaseValue(value);
        return fail(E_OUTOFMEMORY, "out of memory wrapping an output");
    }
    wrapped = com_ptr<IUnknown>::copy_from(static_cast<ILearningModelFeatureValue*>(made.get()));
    return S_OK;
}

void release_outputs(std::vector<OrtValue*>& outputs, size_t from) {
    for (size_t i = from; i < outputs.size(); ++i) {
        if (outputs[i] != nullptr) ort().ReleaseValue(std::exchange(outputs[i], nullptr));
    }
}

}  // namespace

HRESULT make_evaluation_result(std::u16string correlation_id, const std::vector<std::u16string>& names,
                               std::vector<OrtValue*>& outputs, ILearningModelEvaluationResult** result) noexcept {
    *result = nullptr;
    size_t next = 0;
    try {
        std::vector<map_view<IUnknown*>::entry> entries;
        entries.reserve(outputs.size());
        for (; next < outputs.size(); ++next) {
            com_ptr<IUnknown> wrapped;
            HRESULT hr = wrap_output(std::exchange(outputs[next], nullptr), wrapped);
            if (failed(hr)) {
                release_outputs(outputs, next + 1);
                return hr;
            }
            entries.emplace_back(names[next], std::move(wrapped));
        }
        auto map = map_view<IUnknown*>::make(std::move(entries));
        if (!map) return fail(E_OUTOFMEMORY, "out of memory collecting the outputs");
        auto made = LearningModelEvaluationResult::make(std::move(correlation_id), std::move(map));
        if (!made) return fail(E_OUTOFMEMORY, "out of memory creating an evaluation result");
        *result = made.detach();
        return S_OK;
    } catch (const std::bad_alloc&) {
        release_outputs(outputs, next);
        return fail(E_OUTOFMEMORY, "out of memory collecting the outputs");
    }
}

}  // namespace runtime
