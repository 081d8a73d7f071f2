#include "binding.h"

#include <new>
#include <string>
#include <utility>

#include "class_registry.h"
#include "error_info.h"
#include "onnxruntime_library.h"
#include "shared_factory.h"
#include "text.h"

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

class binding_factory final
    : public com_object<binding_factory, IActivationFactory, ILearningModelBindingFactory, IAgileObject> {
public:
    HRESULT ActivateInstance(IUnknown** instance) override {
        if (instance != nullptr) *instance = nullptr;
        return fail(E_NOTIMPL, "bindings are made with LearningModelBinding.CreateFromSession");
    }

    HRESULT CreateFromSession(ILearningModelSession* session, ILearningModelBinding** binding) override {
        if (binding == nullptr) return fail(E_POINTER, "null out-parameter");
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

bound_input::bound_input(com_ptr<tensor_core> tensor, OrtValue* value, bool to_half) noexcept
    : tensor_(std::move(tensor)), value_(value), to_half_(to_half) {}

bound_input::bound_input(bound_input&& other) noexcept
    : tensor_(std::move(other.tensor_)), value_(std::exchange(other.value_, nullptr)), to_half_(other.to_half_) {}

bound_input& bound_input::operator=(bound_input&& other) noexcept {
    if (this != &other) {
        reset();
        tensor_ = std::move(other.tensor_);
        value_ = std::exchange(other.value_, nullptr);
        to_half_ = other.to_half_;
    }
    return *this;
}

bound_input::~bound_input() { reset(); }

void bound_input::reset() noexcept {
    // The value lies over the tensor's storage: it goes first.
    if (value_ != nullptr) ort().ReleaseValue(std::exchange(value_, nullptr));
    tensor_ = nullptr;
    to_half_ = false;
}

LearningModelBinding::LearningModelBinding(com_ptr<LearningModelSession> session)
    : session_(std::move(session)), inputs_(session_->inputs().size()) {}

HRESULT LearningModelBinding::Bind(HSTRING name, IUnknown* value) {
    try {
        return bind(name, value);
    } catch (const std::bad_alloc&) {
        return fail(E_OUTOFMEMORY, "out of memory binding an input");
    } catch (...) {
        return fail(E_FAIL, "binding an input failed unexpectedly");
    }
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
    com_ptr<tensor_core> tensor = tensor_core_of(value);
    if (!tensor) return fail(E_INVALIDARG, prefix() + "the value is not a tensor made by this runtime");
    if (!input.is_tensor) return fail(E_INVALIDARG, prefix() + "the model takes a sequence or map here, not a tensor");

    // Float arrays feed half-precision inputs, converted at evaluation.
    const bool to_half = tensor->kind() == TensorKind::Float && input.kind == TensorKind::Float16;
    if (tensor->kind() != input.kind && !to_half) {
        return fail(E_INVALIDARG, prefix() + "tensor of element type " + element_type_text(tensor->kind()) +
                                      " does not match the model's " + element_type_text(input.kind));
    }
    if (!shape_fits(input, tensor->shape())) {
        return fail(E_INVALIDARG, prefix() + "shape " + shape_text(tensor->shape()) + " does not match the model's " +
                                      shape_text(input.shape));
    }
    if (tensor->data() == nullptr) {
        return fail(E_INVALIDARG, prefix() + "tensors of element type " + element_type_text(tensor->kind()) +
                                      " cannot be bound as inputs");
    }

    OrtValue* ort_value = nullptr;
    if (!to_half) {
        const onnxruntime* loaded = nullptr;
        if (HRESULT hr = load_onnxruntime(&loaded); failed(hr)) return hr;
        const tensor_shape& shape = tensor->shape();
        if (OrtStatus* status = loaded->api->CreateTensorWithDataAsOrtValue(
                loaded->cpu_memory, tensor->data(), tensor->byte_size(), shape.data(), shape.size(),
                input.element_type, &ort_value)) {
            return check_ort(status, prefix() + "ONNX Runtime refused the tensor");
        }
    }
    bound_input bound(std::move(tensor), ort_value, to_half);
    std::lock_guard<std::mutex> lock(mutex_);
    inputs_[index] = std::move(bound);
    return S_OK;
}

HRESULT LearningModelBinding::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (bound_input& input : inputs_) input = bound_input();
    return S_OK;
}

com_ptr<IActivationFactory> make_learning_model_binding_factory() { return shared_factory<binding_factory>(); }

}  // namespace runtime
