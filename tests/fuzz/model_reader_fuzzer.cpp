// libFuzzer harness over the model load path: the ONNX reader on the raw
// bytes, the structure walk that reads large files in part (the reader must
// find the same model in what it read), the rewrite of tensors' external
// data (the reader must accept what it writes), then the same bytes as a
// file through LearningModel's LoadFromFilePath, which checks external data
// against a weights file beside it, and every descriptor the loaded model
// offers.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "class_registry.h"
#include "com/boundary.h"
#include "com/text.h"
#include "onnx/external_data_rewrite.h"
#include "onnx/onnx_model.h"
#include "onnx/onnx_structure.h"
#include "onnx/protobuf_wire.h"

using namespace mlabi;

namespace {

// The folder of the file the load path reads, with a weights file for its
// external data; one per fuzzing process, on tmpfs when there.
const std::string& folder() {
    static const std::string path = [] {
        const char* directory = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string made = std::string(directory) + "/qelmo_fuzz_" + std::to_string(getpid());
        if (mkdir(made.c_str(), 0700) != 0) std::abort();
        FILE* weights = std::fopen((made + "/weights.bin").c_str(), "wb");
        if (weights == nullptr || std::fwrite("0123456789abcdef", 1, 16, weights) != 16) std::abort();
        std::fclose(weights);
        return made;
    }();
    return path;
}

const std::string& model_path() {
    static const std::string path = folder() + "/model.onnx";
    return path;
}

void remove_files() {
    std::remove(model_path().c_str());
    std::remove((folder() + "/weights.bin").c_str());
    rmdir(folder().c_str());
}

ILearningModelStatics* statics() {
    static ILearningModelStatics* loaded = [] {
        std::atexit(remove_files);
        com_ptr<IActivationFactory> factory = runtime::make_learning_model_factory();
        com_ptr<ILearningModelStatics> result;
        if (!factory || factory.as(result) != S_OK) std::abort();
        return result.detach();  // lives for the process, like the factory
    }();
    return loaded;
}

void consume(HSTRING text) {
    // Touch every code unit so a bad length shows up under the sanitizer.
    volatile char16_t sink = 0;
    std::u16string_view view = hstring_view(text);
    for (char16_t c : view) sink = static_cast<char16_t>(sink ^ c);
    delete_hstring(text);
}

void walk_features(IVectorView<ILearningModelFeatureDescriptor*>* features) {
    uint32_t count = 0;
    if (features == nullptr || failed(features->get_Size(&count))) return;
    for (uint32_t i = 0; i < count; ++i) {
        com_ptr<ILearningModelFeatureDescriptor> feature;
        if (failed(features->GetAt(i, feature.put()))) continue;
        HSTRING text = nullptr;
        if (feature->get_Name(&text) == S_OK) consume(text);
        if (feature->get_Description(&text) == S_OK) consume(text);
        LearningModelFeatureKind kind;
        bool required = false;
        (void)feature->get_Kind(&kind);
        (void)feature->get_IsRequired(&required);
        if (auto tensor = feature.try_as<ITensorFeatureDescriptor>()) {
            TensorKind element;
            (void)tensor->get_TensorKind(&element);
            com_ptr<IVectorView<int64_t>> shape;
            uint32_t rank = 0;
            if (tensor->get_Shape(shape.put()) == S_OK && shape->get_Size(&rank) == S_OK) {
                for (uint32_t d = 0; d < rank; ++d) {
                    int64_t size = 0;
                    (void)shape->GetAt(d, &size);
                }
            }
        }
        if (auto image = feature.try_as<IImageFeatureDescriptor>()) {
            int64_t size = 0;
            (void)image->get_Width(&size);
            (void)image->get_Height(&size);
            (void)image->get_Channels(&size);
        }
    }
}

// Copies only the ranges the walk asks for into an image of zeros.
class masked_image final : public runtime::byte_range_source {
public:
    masked_image(const uint8_t* data, size_t size) : data_(data), image(size, '\0') {}
    void need(size_t begin, size_t end) override {
        if (begin >= end || end > image.size()) std::abort();
        std::copy(data_ + begin, data_ + end, image.begin() + static_cast<std::ptrdiff_t>(begin));
    }
    const uint8_t* data_;
    std::string image;
};

bool same_references(const runtime::onnx_external_reference& a, const runtime::onnx_external_reference& b) {
    return a.tensor == b.tensor && a.location == b.location && a.offset == b.offset && a.length == b.length &&
           a.has_location == b.has_location && a.has_offset == b.has_offset && a.has_length == b.has_length &&
           a.main_graph_initializer == b.main_graph_initializer && a.tensor_begin == b.tensor_begin &&
           a.tensor_end == b.tensor_end;
}

bool same_reading(const runtime::onnx_model& a, const runtime::onnx_model& b) {
    if (a.inputs.size() != b.inputs.size() || a.outputs.size() != b.outputs.size()) return false;
    if (a.external_data.size() != b.external_data.size()) return false;
    for (size_t i = 0; i < a.external_data.size(); ++i) {
        if (!same_references(a.external_data[i], b.external_data[i])) return false;
    }
    for (size_t i = 0; i < a.inputs.size(); ++i) {
        if (a.inputs[i].name != b.inputs[i].name || a.inputs[i].shape.size() != b.inputs[i].shape.size()) return false;
    }
    return a.producer_name == b.producer_name && a.graph_name == b.graph_name &&
           a.metadata_props == b.metadata_props && a.has_external_data == b.has_external_data;
}

void check_structure_walk(const uint8_t* data, size_t size, runtime::onnx_read_status status,
                          const runtime::onnx_model& model, const std::string& error) {
    masked_image source(data, size);
    try {
        runtime::walk_onnx_structure(source.image, source);
    } catch (const runtime::wire_error&) {
        // Given up only where the reader gives up too.
        if (status == runtime::onnx_read_status::ok) std::abort();
        return;
    }
    runtime::onnx_model partial;
    std::string partial_error;
    if (runtime::read_onnx_model(source.image, partial, partial_error) != status || partial_error != error ||
        !same_reading(partial, model)) {
        std::abort();
    }
}

// Writes every other tensor's data in and relocates the rest: the copy must
// read as the same model, with only the relocated tensors still external.
void check_rewrite(std::string_view bytes, const runtime::onnx_model& model) {
    std::vector<runtime::tensor_rewrite> rewrites;
    for (size_t i = 0; i < model.external_data.size(); ++i) {
        const runtime::onnx_external_reference& reference = model.external_data[i];
        const std::string_view tensor =
            bytes.substr(reference.tensor_begin, reference.tensor_end - reference.tensor_begin);
        uint64_t data_size = 0;
        if (!runtime::tensor_data_size(tensor, data_size)) data_size = 0;
        if (i % 2 == 0) {
            const std::string_view data =
                std::string_view("0123456789abcdef").substr(0, std::min<uint64_t>(data_size, 16));
            rewrites.push_back({reference.tensor_begin, reference.tensor_end, data, {}});
        } else {
            rewrites.push_back({reference.tensor_begin, reference.tensor_end, {}, "relocated.bin"});
        }
    }
    const std::string rewritten = runtime::rewrite_tensors(bytes, rewrites);
    runtime::onnx_model again;
    std::string error;
    if (runtime::read_onnx_model(rewritten, again, error) != runtime::onnx_read_status::ok) std::abort();
    if (again.external_data.size() != model.external_data.size() / 2 || again.inputs.size() != model.inputs.size() ||
        again.outputs.size() != model.outputs.size() || again.graph_name != model.graph_name) {
        std::abort();
    }
    for (const runtime::onnx_external_reference& reference : again.external_data) {
        if (reference.location != "relocated.bin") std::abort();
    }
}

void load_through_file(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(model_path().c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);

    std::u16string path = runtime::utf8_to_utf16(model_path());
    hstring_reference path_handle(path);
    com_ptr<ILearningModel> model;
    if (statics()->LoadFromFilePath(path_handle.get(), model.put()) != S_OK) return;

    HSTRING text = nullptr;
    if (model->get_Author(&text) == S_OK) consume(text);
    if (model->get_Name(&text) == S_OK) consume(text);
    if (model->get_Domain(&text) == S_OK) consume(text);
    if (model->get_Description(&text) == S_OK) consume(text);
    com_ptr<IMapView<HSTRING, HSTRING>> metadata;
    if (model->get_Metadata(metadata.put()) == S_OK) {
        uint32_t entries = 0;
        (void)metadata->get_Size(&entries);
    }
    com_ptr<IVectorView<ILearningModelFeatureDescriptor*>> features;
    if (model->get_InputFeatures(features.put()) == S_OK) walk_features(features.get());
    features = nullptr;
    if (model->get_OutputFeatures(features.put()) == S_OK) walk_features(features.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runtime::onnx_model model;
    std::string error;
    const runtime::onnx_read_status status =
        runtime::read_onnx_model(std::string_view(reinterpret_cast<const char*>(data), size), model, error);
    check_structure_walk(data, size, status, model, error);
    if (status == runtime::onnx_read_status::ok && model.has_external_data) {
        check_rewrite(std::string_view(reinterpret_cast<const char*>(data), size), model);
    }
    load_through_file(data, size);
    return 0;
}
