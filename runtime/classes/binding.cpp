#include "classes/binding.h"

#include <string>
#include <utility>

#include "class_registry.h"
#include "com/class_factory.h"
#include "com/text.h"
#include "onnx/element_types.h"
#include "onnxruntime/onnxruntime_library.h"

namespace runtime {
namespace {

bool shape_fits(const session_input& input, const tensor_shape& shape) {
    if (!input.has_shape) return true;
    if (shape.size() != input.shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (input.shape[i] >= 0 && input.shape[i] != shape[i]) return false;
    }
    return true;
}

// Whether `tensor` can be bound to `input`: its kind, shape and storage.
HRESULT check_fits(const session_input& input, const tensor_core& tensor, bool to_half) {
    // Messages are built only on failure: binding is on every evaluation's path.
    const auto prefix = [&input] { return "input '" + input.name + "': "; };
    if (tensor.kind() != input.kind && !to_half) {
        // Float values also feed half-precision inputs (converted at evaluation).
        const std::string wanted = input.kind == TensorKind::Float16 ? "float32 or float16" : element_type_text(input.kind);
        return fail(E_INVALIDARG, prefix() + "tensor of element type " + element_type_text(tensor.kind()) +
                                      " does not match the model's " + element_type_text(input.kind) +
                                      "; convert the values to " + wanted);
    }
    if (!shape_fits(input, tensor.shape())) {
        return fail(E_INVALIDARG, prefix() + "shape " + shape_text(tensor.shape()) + " does not match the model's " +
                                      shape_text(input.shape));
    }
    if (tensor.data() == nullptr) {
        return fail(E_INVALIDARG, prefix() + "tensors of element type " + element_type_text(tensor.kind()) +
                                      " cannot be bound as inputs");
    }
    return S_OK;
}

class binding_factory final : public class_factory<binding_factory, ILearningModelBindingFactory> {
public:
    static constexpr const char* how_to_make = "bindings are made with LearningModelBinding.CreateFromSession";

    HRESULT CreateFromSession(ILearningModelSession* session, ILearningModelBinding** binding) override {
        if (binding == nullptr) return null_out_parameter();
        *binding = nullptr;
        if (session == nullptr) return fail(E_POINTER, "CreateFromSession: the session is null");
        com_ptr<LearningModelSession> ours = implementation_of<LearningModelSession>(session);
        if (!ours) return fail(E_INVALIDARG, "CreateFromSession: the session was not made by this runtime");
        auto made = LearningModelBinding::make(std::move(ours));
        if (!made) return fail(E_OUTOFMEMORY, "out of memory creating a binding");
        *binding = made.detach();
        return S_OK;
    }
};

}  // namespace

LearningModelBinding::LearningModelBinding(com_ptr<LearningModelSession> session)
    : session_(std::move(session)), inputs_(session_->inputs().size()), values_(inputs_.size()) {}

HRESULT LearningModelBinding::Bind(HSTRING name, IUnknown* value) {
    return at_boundary("out of memory binding an input", "binding an input failed unexpectedly",
                       [&] { return bind(name, value); });
}

HRESULT LearningModelBinding::bind(HSTRING name, IUnknown* value) {
    const std::u16string_view name16 = hstring_view(name);
    const int index = session_->find_input(name16);
    if (index < 0) {
        return fail(E_INVALIDARG, "the model has no input named '" + utf16_to_utf8(name16) + "'");
    }
    const session_input& input = session_->inputs()[index];
    // Messages are built only on failure: binding is on every evaluation's path.
    const auto prefix = [&input] { return "input '" + input.name + "': "; };
    if (value == nullptr) return fail(E_POINTER, prefix() + "the value is null");
    bound_input bound{tensor_core_of(value), nullptr};
    if (!bound.tensor) return fail(E_INVALIDARG, prefix() + "the value is not a tensor made by this runtime");
    if (!input.is_tensor) return fail(E_INVALIDARG, prefix() + "the model takes a sequence or map here, not a tensor");
    const tensor_core& tensor = bound.tensor->core();
    // Float arrays feed half-precision inputs, converted at evaluation.
    const bool to_half = tensor.kind() == TensorKind::Float && input.kind == TensorKind::Float16;
    if (HRESULT hr = check_fits(input, tensor, to_half); failed(hr)) return hr;

    const onnxruntime* loaded = nullptr;
    if (HRESULT hr = load_onnxruntime(&loaded); failed(hr)) return hr;
    const tensor_shape& shape = tensor.shape();
    owned_value ort_value;
    if (!to_half) {
        ort_value = with_context([&] { return prefix() + "ONNX Runtime refused the tensor"; }, [&] {
            return owned_value(Ort::Value::CreateTensor(*loaded->cpu_memory, tensor.data(), tensor.byte_size(),
                                                        shape.data(), shape.size(), input.element_type));
        });
    } else {
        const size_t count = tensor.element_count();
        bound.halves.reset(new uint16_t[count == 0 ? 1 : count]);
        ort_value = with_context([&] { return prefix() + "ONNX Runtime refused the half-precision tensor"; }, [&] {
            return owned_value(Ort::Value::CreateTensor(*loaded->cpu_memory, bound.halves.get(),
                                                        count * sizeof(uint16_t), shape.data(), shape.size(),
                                                        ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16));
        });
    }
    std::lock_guard<std::mutex> lock(mutex_);
    values_[index] = std::move(ort_value);  // the old value goes before its tensor
    inputs_[index] = std::move(bound);
    return S_OK;
}

HRESULT LearningModelBinding::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (owned_value& value : values_) value.reset();
    for (bound_input& input : inputs_) input = bound_input();
    return S_OK;
}

com_ptr<IActivationFactory> make_learning_model_binding_factory() { return shared_factory<binding_factory>(); }

}  // namespace runtime
