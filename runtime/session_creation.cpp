// LearningModelSession.CreateFromModelOnDevice: an ONNX Runtime session over
// the model's bytes, on the device's execution provider, and what the
// session declares of its inputs and outputs.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "class_factory.h"
#include "class_registry.h"
#include "element_types.h"
#include "external_data.h"
#include "onnxruntime_api_version.h"
#include "onnxruntime_library.h"
#include "session.h"
#include "text.h"

namespace runtime {
namespace {

Ort::SessionOptions session_options(const onnxruntime& loaded, const external_data_files& weights, bool on_gpu) {
    Ort::SessionOptions options = with_context("preparing the ONNX Runtime session options", [&] {
        Ort::SessionOptions made;
        made.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
        if (loaded.shared_thread_pool) made.DisablePerSessionThreads();
        return made;
    });
    if (!weights.table_names().empty()) {
        with_context("handing ONNX Runtime the model's external data", [&] {
            const std::vector<std::string>& names = weights.table_names();
            options.AddExternalInitializersFromFilesInMemory({names.begin(), names.end()}, weights.table_buffers(),
                                                             weights.table_sizes());
        });
    }
    if (on_gpu) {
        with_context("preparing the GPU execution provider",
                     [&] { options.AppendExecutionProvider_CUDA(OrtCUDAProviderOptions{}); });
    }
    return options;
}

// `bytes`: the complete model, or empty to have ONNX Runtime read the model
// from its path; `weights`: the files of its external data, in memory.
Ort::Session open_session(const onnxruntime& loaded, const LearningModel& model, std::string_view bytes,
                          const external_data_files& weights, bool on_gpu) {
    const Ort::SessionOptions options = session_options(loaded, weights, on_gpu);
    return with_context("ONNX Runtime could not prepare the model", [&] {
        return bytes.empty() ? Ort::Session(*loaded.env, model.path().c_str(), options)
                             : Ort::Session(*loaded.env, bytes.data(), bytes.size(), options);
    });
}

// For a model whose tensors keep data in other files: checks those files
// again, maps them and reads the model's bytes. ONNX Runtime takes the
// files of the main graph's initializers from memory (C API 18 on); every
// other tensor's data is written into a copy of the model, as ONNX Runtime
// would look for its file by name. So it opens nothing itself and reads
// exactly the files checked, whatever is renamed or relinked meanwhile.
// What the check does not cover: a file changed in place (its bytes are
// read as they are then; one truncated while mapped can end the process,
// as with ONNX Runtime's own reading), and a hard link, which is a file of
// the folder like any other.
HRESULT prepare_external_data(const onnxruntime& loaded, LearningModel& model, model_file::complete_bytes& whole,
                              external_data_files& weights, std::string& rewritten) {
    const onnx_model& info = model.info();
    if (HRESULT hr = weights.open(model.external_folder(), info.external_data, true); failed(hr)) return hr;
    if (HRESULT hr = model.file().complete(whole); failed(hr)) return hr;
    const bool table = loaded.api_version >= external_files_in_memory_api_version;
    if (HRESULT hr = weights.hand_over(model.external_folder(), whole.bytes(), info.external_data, table, rewritten);
        failed(hr)) {
        return hr;
    }
    // The copy serves: the file's payloads can go.
    if (!rewritten.empty()) whole.reset();
    return S_OK;
}

// Makes the session from the file's complete bytes, read for the occasion
// and released again once ONNX Runtime holds its own copy of the weights.
HRESULT open_model_session(const onnxruntime& loaded, LearningModel& model, bool on_gpu, Ort::Session& session) {
    model_file::complete_bytes whole;
    external_data_files weights;
    std::string rewritten;
    if (!model.info().has_external_data) {
        if (HRESULT hr = model.file().complete(whole); failed(hr)) return hr;
    } else if (HRESULT hr = prepare_external_data(loaded, model, whole, weights, rewritten); failed(hr)) {
        return hr;
    }
    const std::string_view bytes = rewritten.empty() ? whole.bytes() : rewritten;
    try {
        session = open_session(loaded, model, bytes, weights, on_gpu);
    } catch (const runtime_failure&) {
        if (!on_gpu) throw;
        // A GPU provider that loads but cannot run (no device, driver
        // mismatch): fall back to the CPU, as a software adapter would.
        session = open_session(loaded, model, bytes, weights, false);
    }
    return S_OK;
}

session_input read_input(const Ort::Session& session, size_t index, const onnx_model& info) {
    Ort::AllocatorWithDefaultOptions allocator;
    session_input input;
    input.name = with_context("reading the model's names", [&] {
        return std::string(session.GetInputNameAllocated(index, allocator).get());
    });
    input.name16 = utf8_to_utf16(input.name);
    with_context([&] { return "reading the type of input '" + input.name + "'"; }, [&] {
        const Ort::TypeInfo type = session.GetInputTypeInfo(index);
        input.is_tensor = type.GetONNXType() == ONNX_TYPE_TENSOR;
        if (!input.is_tensor) return;
        const auto tensor = type.GetTensorTypeAndShapeInfo();
        input.element_type = tensor.GetElementType();
        input.shape = tensor.GetShape();
    });
    if (!input.is_tensor) return input;
    input.kind = tensor_kind_from_onnx(input.element_type);
    // ONNX Runtime reports an input of unknown rank as rank 0; the model's
    // own declaration tells the two apart.
    for (const onnx_value_info& declared : info.inputs) {
        if (declared.name == input.name) input.has_shape = declared.has_shape;
    }
    return input;
}

std::vector<std::string> read_output_names(const Ort::Session& session) {
    const size_t count = with_context("reading the model's outputs", [&] { return session.GetOutputCount(); });
    return with_context("reading the model's names", [&] {
        Ort::AllocatorWithDefaultOptions allocator;
        std::vector<std::string> names(count);
        for (size_t i = 0; i < count; ++i) names[i] = session.GetOutputNameAllocated(i, allocator).get();
        return names;
    });
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
    Ort::Session session{nullptr};
    if (HRESULT hr = open_model_session(*loaded, *learning_model, on_gpu, session); failed(hr)) return hr;

    const size_t input_count = with_context("reading the model's inputs", [&] { return session.GetInputCount(); });
    std::vector<session_input> inputs;
    inputs.reserve(input_count);
    for (size_t i = 0; i < input_count; ++i) inputs.push_back(read_input(session, i, learning_model->info()));
    std::vector<std::string> output_names = read_output_names(session);

    auto made = LearningModelSession::make(std::move(learning_model), com_ptr<ILearningModelDevice>::copy_from(device),
                                           std::move(session), std::move(inputs), std::move(output_names));
    if (!made) return fail(E_OUTOFMEMORY, "out of memory creating a session");
    *result = made.detach();
    return S_OK;
}

class session_factory final : public class_factory<session_factory, ILearningModelSessionFactory> {
public:
    static constexpr const char* how_to_make = "sessions are made with LearningModelSession.CreateFromModelOnDevice";

    HRESULT CreateFromModelOnDevice(ILearningModel* model, ILearningModelDevice* device,
                                    ILearningModelSession** session) override {
        if (session == nullptr) return fail(E_POINTER, "null out-parameter");
        *session = nullptr;
        return at_boundary("out of memory creating a session", "creating a session failed unexpectedly",
                           [&] { return create_session(model, device, session); });
    }
};

}  // namespace

com_ptr<IActivationFactory> make_learning_model_session_factory() { return shared_factory<session_factory>(); }

}  // namespace runtime
