#include "session.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "abi/float16.h"
#include "binding.h"
#include "class_registry.h"
#include "error_info.h"
#include "evaluation_result.h"
#include "feature_descriptor.h"
#include "onnxruntime_library.h"
#include "shared_factory.h"
#include "tensor.h"
#include "text.h"

namespace runtime {
namespace {

// ONNX Runtime objects released when the scope ends.
struct session_options_guard {
    OrtSessionOptions* options = nullptr;
    ~session_options_guard() {
        if (options != nullptr) ort().ReleaseSessionOptions(options);
    }
};
struct session_guard {
    OrtSession* session = nullptr;
    ~session_guard() {
        if (session != nullptr) ort().ReleaseSession(session);
    }
};
struct type_info_guard {
    OrtTypeInfo* info = nullptr;
    ~type_info_guard() {
        if (info != nullptr) ort().ReleaseTypeInfo(info);
    }
};
struct values_guard {
    std::vector<OrtValue*> values;
    ~values_guard() {
        for (OrtValue* value : values) {
            if (value != nullptr) ort().ReleaseValue(value);
        }
    }
};

HRESULT make_session_options(const onnxruntime& loaded, bool on_gpu, session_options_guard& options) {
    const OrtApi& api = *loaded.api;
    const char* context = "preparing the ONNX Runtime session options";
    HRESULT hr = check_ort(api.CreateSessionOptions(&options.options), context);
    if (succeeded(hr)) hr = check_ort(api.SetSessionGraphOptimizationLevel(options.options, ORT_ENABLE_ALL), context);
    if (succeeded(hr) && loaded.shared_thread_pool) hr = check_ort(api.DisablePerSessionThreads(options.options), context);
    if (succeeded(hr) && on_gpu) {
        OrtCUDAProviderOptionsV2* cuda = nullptr;
        hr = check_ort(api.CreateCUDAProviderOptions(&cuda), "preparing the GPU execution provider");
        if (succeeded(hr)) {
            hr = check_ort(api.SessionOptionsAppendExecutionProvider_CUDA_V2(options.options, cuda),
                           "preparing the GPU execution provider");
            api.ReleaseCUDAProviderOptions(cuda);
        }
    }
    return hr;
}

// `bytes`: the complete model file, or empty to have ONNX Runtime read the
// model from its path.
HRESULT open_session(const onnxruntime& loaded, const LearningModel& model, std::string_view bytes, bool on_gpu,
                     session_guard& session) {
    session_options_guard options;
    if (HRESULT hr = make_session_options(loaded, on_gpu, options); failed(hr)) return hr;
    OrtStatus* status =
        bytes.empty()
            ? loaded.api->CreateSession(loaded.env, model.path().c_str(), options.options, &session.session)
            : loaded.api->CreateSessionFromArray(loaded.env, bytes.data(), bytes.size(), options.options,
                                                 &session.session);
    return check_ort(status, "ONNX Runtime could not prepare the model");
}

// Makes the session from the file's complete bytes, read for the occasion
// and released again once ONNX Runtime holds its own copy of the weights.
HRESULT open_model_session(const onnxruntime& loaded, LearningModel& model, bool on_gpu, session_guard& session) {
    model_file::complete_bytes whole;
    // Tensors kept in other files are found relative to the model's path.
    if (!model.info().has_external_data) {
        if (HRESULT hr = model.file().complete(whole); failed(hr)) return hr;
    }
    HRESULT hr = open_session(loaded, model, whole.bytes(), on_gpu, session);
    if (failed(hr) && on_gpu) {
        // A GPU provider that loads but cannot run (no device, driver
        // mismatch): fall back to the CPU, as a software adapter would.
        clear_error();
        hr = open_session(loaded, model, whole.bytes(), false, session);
    }
    return hr;
}

// Reads the session's name for input or output `index` into `name`.
HRESULT read_name(const OrtApi& api, OrtSession* session, size_t index, bool input, std::string& name) {
    OrtAllocator* allocator = nullptr;
    HRESULT hr = check_ort(api.GetAllocatorWithDefaultOptions(&allocator), "reading the model's names");
    if (failed(hr)) return hr;
    char* raw = nullptr;
    hr = check_ort(input ? api.SessionGetInputName(session, index, allocator, &raw)
                         : api.SessionGetOutputName(session, index, allocator, &raw),
                   "reading the model's names");
    if (failed(hr)) return hr;
    try {
        name = raw;
    } catch (...) {
        allocator->Free(allocator, raw);
        throw;
    }
    allocator->Free(allocator, raw);
    return S_OK;
}

HRESULT read_input(const OrtApi& api, OrtSession* session, size_t index, const onnx_model& info, session_input& input) {
    if (HRESULT hr = read_name(api, session, index, true, input.name); failed(hr)) return hr;
    input.name16 = utf8_to_utf16(input.name);
    const std::string context = "reading the type of input '" + input.name + "'";
    type_info_guard type;
    if (HRESULT hr = check_ort(api.SessionGetInputTypeInfo(session, index, &type.info), context); failed(hr)) return hr;
    ONNXType onnx_type = ONNX_TYPE_UNKNOWN;
    if (HRESULT hr = check_ort(api.GetOnnxTypeFromTypeInfo(type.info, &onnx_type), context); failed(hr)) return hr;
    input.is_tensor = onnx_type == ONNX_TYPE_TENSOR;
    if (!input.is_tensor) return S_OK;

    const OrtTensorTypeAndShapeInfo* tensor = nullptr;
    size_t rank = 0;
    OrtStatus* status = api.CastTypeInfoToTensorInfo(type.info, &tensor);
    if (status == nullptr) status = api.GetTensorElementType(tensor, &input.element_type);
    if (status == nullptr) status = api.GetDimensionsCount(tensor, &rank);
    if (status == nullptr) {
        input.shape.resize(rank);
        status = api.GetDimensions(tensor, input.shape.data(), rank);
    }
    if (HRESULT hr = check_ort(status, context); failed(hr)) return hr;
    input.kind = tensor_kind_from_onnx(input.element_type);
    // ONNX Runtime reports an input of unknown rank as rank 0; the model's
    // own declaration tells the two apart.
    for (const onnx_value_info& declared : info.inputs) {
        if (declared.name == input.name) input.has_shape = declared.has_shape;
    }
    return S_OK;
}

HRESULT create_session(ILearningModel* model, ILearningModelDevice* device, ILearningModelSession** result) {
    if (model == nullptr) return fail(E_POINTER, "CreateFromModelOnDevice: the model is null");
    if (device == nullptr) return fail(E_POINTER, "CreateFromModelOnDevice: the device is null");
    com_ptr<LearningModel> learning_model = implementation_of<LearningModel>(model);
    if (!learning_model) return fail(E_INVALIDARG, "CreateFromModelOnDevice: the model was not loaded by this runtime");
    bool on_gpu = false;
    if (HRESULT hr = device->get_IsGpu(&on_gpu); failed(hr)) return fail(hr, "CreateFromModelOnDevice: the device failed");

    const onnxruntime* loaded = nullptr;
    if (HRESULT hr = load_onnxruntime(&loaded); failed(hr)) return hr;
    const OrtApi& api = *loaded->api;

    session_guard session;
    if (HRESULT hr = open_model_session(*loaded, *learning_model, on_gpu, session); failed(hr)) return hr;

    size_t input_count = 0;
    size_t output_count = 0;
    if (HRESULT hr = check_ort(api.SessionGetInputCount(session.session, &input_count), "reading the model's inputs");
        failed(hr)) {
        return hr;
    }
    if (HRESULT hr = check_ort(api.SessionGetOutputCount(session.session, &output_count), "reading the model's outputs");
        failed(hr)) {
        return hr;
    }
    std::vector<session_input> inputs(input_count);
    for (size_t i = 0; i < input_count; ++i) {
        if (HRESULT hr = read_input(api, session.session, i, learning_model->info(), inputs[i]); failed(hr)) return hr;
    }
    std::vector<std::string> output_names(output_count);
    for (size_t i = 0; i < output_count; ++i) {
        if (HRESULT hr = read_name(api, session.session, i, false, output_names[i]); failed(hr)) return hr;
    }

    auto made = LearningModelSession::make(std::move(learning_model), com_ptr<ILearningModelDevice>::copy_from(device),
                                           session.session, std::move(inputs), std::move(output_names));
    if (!made) return fail(E_OUTOFMEMORY, "out of memory creating a session");
    session.session = nullptr;  // the session object owns it now
    *result = made.detach();
    return S_OK;
}

class session_factory final
    : public com_object<session_factory, IActivationFactory, ILearningModelSessionFactory, IAgileObject> {
public:
    HRESULT ActivateInstance(IUnknown** instance) override {
        if (instance != nullptr) *instance = nullptr;
        return fail(E_NOTIMPL, "sessions are made with LearningModelSession.CreateFromModelOnDevice");
    }

    HRESULT CreateFromModelOnDevice(ILearningModel* model, ILearningModelDevice* device,
                                    ILearningModelSession** session) override {
        if (session == nullptr) return fail(E_POINTER, "null out-parameter");
        *session = nullptr;
        try {
            return create_session(model, device, session);
        } catch (const std::bad_alloc&) {
            return fail(E_OUTOFMEMORY, "out of memory creating a session");
        } catch (...) {
            return fail(E_FAIL, "creating a session failed unexpectedly");
        }
    }
};

}  // namespace

LearningModelSession::LearningModelSession(com_ptr<LearningModel> model, com_ptr<ILearningModelDevice> device,
                                           OrtSession* session, std::vector<session_input> inputs,
                                           std::vector<std::string> output_names)
    : model_(std::move(model)),
      device_(std::move(device)),
      session_(session),
      inputs_(std::move(inputs)),
      output_names_(std::move(output_names)) {
    input_name_pointers_.reserve(inputs_.size());
    input_indices_.reserve(inputs_.size());
    for (size_t i = 0; i < inputs_.size(); ++i) {
        input_name_pointers_.push_back(inputs_[i].name.c_str());
        input_indices_.emplace(inputs_[i].name16, static_cast<int>(i));  // the first of equal names wins
    }
    output_name_pointers_.reserve(output_names_.size());
    output_names16_.reserve(output_names_.size());
    for (const std::string& name : output_names_) {
        output_name_pointers_.push_back(name.c_str());
        output_names16_.push_back(utf8_to_utf16(name));
    }
}

LearningModelSession::~LearningModelSession() { ort().ReleaseSession(session_); }

HRESULT LearningModelSession::get_Model(ILearningModel** model) { return hand_out(model_, model); }

HRESULT LearningModelSession::get_Device(ILearningModelDevice** device) { return hand_out(device_, device); }

int LearningModelSession::find_input(std::u16string_view name) const {
    const auto found = input_indices_.find(name);
    return found == input_indices_.end() ? -1 : found->second;
}

HRESULT LearningModelSession::Evaluate(ILearningModelBinding* binding, HSTRING correlation_id,
                                       ILearningModelEvaluationResult** result) {
    if (result == nullptr) return fail(E_POINTER, "null out-parameter");
    *result = nullptr;
    try {
        return evaluate(binding, correlation_id, result);
    } catch (const std::bad_alloc&) {
        return fail(E_OUTOFMEMORY, "out of memory evaluating the model");
    } catch (...) {
        return fail(E_FAIL, "evaluation failed unexpectedly");
    }
}

HRESULT LearningModelSession::evaluate(ILearningModelBinding* binding, HSTRING correlation_id,
                                       ILearningModelEvaluationResult** result) {
    if (binding == nullptr) return fail(E_POINTER, "Evaluate: the binding is null");
    com_ptr<LearningModelBinding> bound = implementation_of<LearningModelBinding>(binding);
    if (!bound || bound->session() != this) {
        return fail(E_INVALIDARG, "Evaluate: the binding was not made for this session");
    }
    const OrtApi& api = ort();
    const onnxruntime* loaded = nullptr;
    if (HRESULT hr = load_onnxruntime(&loaded); failed(hr)) return hr;

    std::vector<const OrtValue*> values;
    values.reserve(inputs_.size());
    // Half-precision copies of Float tensors, alive until Run returns.
    values_guard converted;
    std::vector<std::unique_ptr<uint16_t[]>> halves;
    values_guard outputs;
    outputs.values.assign(output_names_.size(), nullptr);

    std::lock_guard<std::mutex> lock(bound->mutex());
    for (size_t i = 0; i < inputs_.size(); ++i) {
        const bound_input& input = bound->inputs()[i];
        // Every input the session lists is required (initializers are not listed).
        if (!input.bound()) return fail(E_INVALIDARG, "input '" + inputs_[i].name + "' has no value bound");
        if (!input.to_half()) {
            values.push_back(input.value());
            continue;
        }
        const tensor_core& tensor = input.tensor();
        const size_t count = tensor.element_count();
        halves.emplace_back(new uint16_t[count == 0 ? 1 : count]);
        floats_to_halves(static_cast<const float*>(tensor.data()), halves.back().get(), count);
        OrtValue* value = nullptr;
        if (OrtStatus* status = api.CreateTensorWithDataAsOrtValue(
                loaded->cpu_memory, halves.back().get(), count * sizeof(uint16_t), tensor.shape().data(),
                tensor.shape().size(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16, &value)) {
            return check_ort(status, "input '" + inputs_[i].name + "': ONNX Runtime refused the half-precision tensor");
        }
        converted.values.push_back(value);
        values.push_back(value);
    }

    // ONNX Runtime refuses to run for no outputs; there is nothing to compute.
    if (output_names_.empty()) {
        return make_evaluation_result(std::u16string(hstring_view(correlation_id)), output_names16_, outputs.values, result);
    }
    HRESULT hr = check_ort(api.Run(session_, nullptr, input_name_pointers_.data(), values.data(), values.size(),
                                   output_name_pointers_.data(), output_name_pointers_.size(), outputs.values.data()),
                           "evaluation failed");
    if (failed(hr)) return hr;
    return make_evaluation_result(std::u16string(hstring_view(correlation_id)), output_names16_, outputs.values, result);
}

com_ptr<IActivationFactory> make_learning_model_session_factory() { return shared_factory<session_factory>(); }

}  // namespace runtime
