// LearningModelSession.CreateFromModelOnDevice: an ONNX Runtime session over
// the model file, on the device's execution provider, and what the session
// declares of its inputs and outputs.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "class_registry.h"
#include "classes/device.h"
#include "classes/output_memory.h"
#include "classes/session.h"
#include "classes/session_placement.h"
#include "com/class_factory.h"
#include "com/text.h"
#include "memory/external_data.h"
#include "onnx/element_types.h"
#include "onnxruntime/files_by_name.h"
#include "onnxruntime/onnxruntime_api_version.h"
#include "onnxruntime/onnxruntime_library.h"
#include "onnxruntime/onnxruntime_log.h"

namespace runtime {
namespace {

// What ONNX Runtime reads a model from: its complete bytes, or else a path;
// and the files of its external data, in memory.
struct model_source {
    std::string_view bytes;
    std::string path;
    const external_data_files* weights = nullptr;
};

Ort::SessionOptions session_options(const onnxruntime& loaded, const model_source& source, bool on_gpu) {
    Ort::SessionOptions options = with_context("preparing the ONNX Runtime session options", [&] {
        Ort::SessionOptions made;
        made.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
        if (loaded.shared_thread_pool) made.DisablePerSessionThreads();
        if (!source.bytes.empty()) read_no_files_by_name(made);
        return made;
    });
    if (source.weights != nullptr && !source.weights->table_names().empty()) {
        with_context("handing ONNX Runtime the model's external data", [&] {
            const std::vector<std::string>& names = source.weights->table_names();
            options.AddExternalInitializersFromFilesInMemory({names.begin(), names.end()},
                                                             source.weights->table_buffers(),
                                                             source.weights->table_sizes());
        });
    }
    if (on_gpu) {
        with_context("preparing the GPU execution provider",
                     [&] { options.AppendExecutionProvider_CUDA(OrtCUDAProviderOptions{}); });
    }
    return options;
}

Ort::Session open_session(const onnxruntime& loaded, const model_source& source, bool on_gpu) {
    const Ort::SessionOptions options = session_options(loaded, source, on_gpu);
    return with_logged_warnings([&] {
        return with_context("ONNX Runtime could not prepare the model", [&] {
            return source.bytes.empty() ? Ort::Session(*loaded.env, source.path.c_str(), options)
                                        : Ort::Session(*loaded.env, source.bytes.data(), source.bytes.size(), options);
        });
    });
}

// A GPU session that ONNX Runtime refuses is made on the CPU instead, with
// the refusal in `gpu_refusal`.
Ort::Session open_session_on_device(const onnxruntime& loaded, const model_source& source, bool on_gpu,
                                    std::string& gpu_refusal) {
    try {
        return open_session(loaded, source, on_gpu);
    } catch (const runtime_failure& failure) {
        if (!on_gpu) throw;
        // A GPU provider that loads but cannot run this model (an operator it
        // lacks, memory, a driver mismatch): fall back to the CPU, as a
        // software adapter would.
        gpu_refusal = failure.message();
        return open_session(loaded, source, false);
    }
}

// `text` with every mention of the file `name` given as `shown`.
std::string with_name_replaced(std::string text, const std::string& name, const std::string& shown) {
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
        const size_t end = at + name.size();
        if (end < text.size() && text[end] >= '0' && text[end] <= '9') {  // another descriptor's name
            at = end;
            continue;
        }
        text.replace(at, name.size(), shown);
        at += shown.size();
    }
    return text;
}

// ONNX Runtime reads the file through the descriptor the model holds open,
// as it reads a path, so that the weights are in memory once, in its copy.
// The file was found as loaded just before (`handed`); a write while ONNX
// Runtime reads it shows afterwards, and the session is dropped.
HRESULT open_through_descriptor(const onnxruntime& loaded, LearningModel& model, std::string name,
                                const struct stat& handed, bool on_gpu, Ort::Session& session,
                                std::string& gpu_refusal) {
    model_source source;
    source.path = std::move(name);
    try {
        session = open_session_on_device(loaded, source, on_gpu, gpu_refusal);
        gpu_refusal = with_name_replaced(std::move(gpu_refusal), source.path, model.path());
    } catch (const runtime_failure& failure) {
        // A file cut short or rewritten while ONNX Runtime read it: say so
        // rather than what ONNX Runtime made of the bytes.
        if (HRESULT hr = model.file().check_unchanged_since(handed); failed(hr)) return hr;
        throw runtime_failure(failure.status(), with_name_replaced(failure.message(), source.path, model.path()));
    }
    if (HRESULT hr = model.file().check_unchanged_since(handed); failed(hr)) {
        session = Ort::Session{nullptr};
        return hr;
    }
    return S_OK;
}

// For a model whose tensors keep data in other files: checks those files
// again, maps them and reads the model's bytes. ONNX Runtime takes the
// files of the main graph's initializers from memory (C API 18 on); every
// other tensor's data is written into a copy of the model, as ONNX Runtime
// would look for its file by name. So it opens nothing itself and reads
// exactly the files checked, whatever is renamed or relinked meanwhile.
// What the check does not cover: a file changed in place (its bytes are
// read as they are then; one truncated while mapped can end the process,
// as with ONNX Runtime's own reading).
HRESULT prepare_external_data(const onnxruntime& loaded, LearningModel& model, model_file::complete_bytes& whole,
                              external_data_files& weights, std::string& rewritten) {
    const onnx_model& info = model.info();
    if (HRESULT hr = weights.open(model.external_folder(), model.file().image(), info.external_data, true);
        failed(hr)) {
        return hr;
    }
    if (HRESULT hr = model.file().complete(whole); failed(hr)) return hr;
    const bool table = loaded.api_version >= external_files_in_memory_api_version;
    if (HRESULT hr = weights.hand_over(whole.bytes(), info.external_data, table, rewritten); failed(hr)) return hr;
    // The copy serves: the file's payloads can go.
    if (!rewritten.empty()) whole.reset();
    return S_OK;
}

// Makes the session from the file ONNX Runtime reads itself where it can;
// otherwise from the file's complete bytes, read for the occasion and
// released again once ONNX Runtime holds its own copy of the weights.
// External data always goes over as bytes (prepare_external_data).
//
// What keeps a model from having ONNX Runtime read a file it names, each
// layer in case the one before missed:
// 1. Loading finds every tensor that keeps its data elsewhere, wherever
//    protobuf would find it (reader_oracle_fuzzer holds the reader to
//    protobuf's own reading), and checks each location: beneath the folders
//    the model was opened through, a regular file, a range within it
//    (external_data.h). The same checks run again here.
// 2. The bytes handed over are read again as ONNX Runtime will read them:
//    none may still name a file, but those it takes from memory.
// 3. ONNX Runtime's folder for the files of a model given as bytes is one
//    that cannot exist (files_by_name.h), so a name the layers above missed
//    finds nothing, rather than a file in the current folder.
// 4. A large model ONNX Runtime reads through its descriptor (so no copy of
//    it is made here) is checked first for the bytes read for its
//    structure, which decide what it names, and afterwards for any write
//    meanwhile (model_file::descriptor_path).
HRESULT open_model_session(const onnxruntime& loaded, LearningModel& model, bool on_gpu, Ort::Session& session,
                           std::string& gpu_refusal) {
    model_source source;
    model_file::complete_bytes whole;
    external_data_files weights;
    std::string rewritten;
    if (model.info().has_external_data) {
        if (HRESULT hr = prepare_external_data(loaded, model, whole, weights, rewritten); failed(hr)) return hr;
        source.bytes = rewritten.empty() ? whole.bytes() : std::string_view(rewritten);
        source.weights = &weights;
    } else {
        std::string name;
        struct stat handed {};
        if (HRESULT hr = model.file().descriptor_path(name, handed); failed(hr)) return hr;
        if (!name.empty()) {
            return open_through_descriptor(loaded, model, std::move(name), handed, on_gpu, session, gpu_refusal);
        }
        if (HRESULT hr = model.file().complete(whole); failed(hr)) return hr;
        source.bytes = whole.bytes();
    }
    static const std::vector<std::string> nothing_served;
    const std::vector<std::string>& served = source.weights != nullptr ? source.weights->table_names() : nothing_served;
    if (HRESULT hr = check_nothing_read_by_name(source.bytes, served); failed(hr)) return hr;
    session = open_session_on_device(loaded, source, on_gpu, gpu_refusal);
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
    session_placement placement;
    if (com_ptr<LearningModelDevice> ours = implementation_of<LearningModelDevice>(device)) {
        placement = {ours->wants_gpu(), ours->is_gpu(), ours->fallback_reason()};
    } else {
        if (HRESULT hr = device->get_IsGpu(&placement.on_gpu); failed(hr)) {
            return fail(hr, "CreateFromModelOnDevice: the device failed");
        }
        placement.requested_gpu = placement.on_gpu;
    }

    const onnxruntime* loaded = nullptr;
    if (HRESULT hr = load_onnxruntime(&loaded); failed(hr)) return hr;
    Ort::Session session{nullptr};
    std::string gpu_refusal;
    if (HRESULT hr = open_model_session(*loaded, *learning_model, placement.on_gpu, session, gpu_refusal); failed(hr)) {
        return hr;
    }
    com_ptr<ILearningModelDevice> session_device = com_ptr<ILearningModelDevice>::copy_from(device);
    if (!gpu_refusal.empty()) {
        placement.on_gpu = false;
        placement.reason = "the CUDA provider could not run this model: " + gpu_refusal;
        LearningModelDeviceKind kind = LearningModelDeviceKind::Default;
        if (HRESULT hr = device->get_Kind(&kind); failed(hr)) return fail(hr, "CreateFromModelOnDevice: the device failed");
        session_device = LearningModelDevice::fallen_back(kind, placement.reason);
    }

    const size_t input_count = with_context("reading the model's inputs", [&] { return session.GetInputCount(); });
    std::vector<session_input> inputs;
    inputs.reserve(input_count);
    for (size_t i = 0; i < input_count; ++i) inputs.push_back(read_input(session, i, learning_model->info()));
    std::vector<std::string> output_names = read_output_names(session);
    Ort::MemoryInfo output_memory = placement.on_gpu ? page_locked_output_memory(session) : Ort::MemoryInfo{nullptr};
    placement.page_locked_outputs = output_memory != nullptr;

    auto made = LearningModelSession::make(std::move(learning_model), std::move(session_device), std::move(session),
                                           std::move(inputs), std::move(output_names));
    if (!made) return fail(E_OUTOFMEMORY, "out of memory creating a session");
    made->put_outputs_in(std::move(output_memory), page_locked_output_minimum);
    record_session_placement(std::move(placement));
    *result = made.detach();
    return S_OK;
}

class session_factory final : public class_factory<session_factory, ILearningModelSessionFactory> {
public:
    static constexpr const char* how_to_make = "sessions are made with LearningModelSession.CreateFromModelOnDevice";

    HRESULT CreateFromModelOnDevice(ILearningModel* model, ILearningModelDevice* device,
                                    ILearningModelSession** session) override {
        if (session == nullptr) return null_out_parameter();
        *session = nullptr;
        return at_boundary("out of memory creating a session", "creating a session failed unexpectedly",
                           [&] { return create_session(model, device, session); });
    }
};

}  // namespace

com_ptr<IActivationFactory> make_learning_model_session_factory() { return shared_factory<session_factory>(); }

}  // namespace runtime
