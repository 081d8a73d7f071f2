#include "learning_model.h"

#include <atomic>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "class_registry.h"
#include "error_info.h"
#include "feature_descriptor.h"
#include "file_reader.h"
#include "map_view.h"
#include "model_file.h"
#include "text.h"
#include "vector_view.h"

namespace runtime {
namespace {

template <class I, class T>
com_ptr<I> made(com_ptr<T> object) {
    if (!object) throw std::bad_alloc();
    return com_ptr<I>::attach(object.detach());
}

com_ptr<IVectorView<ILearningModelFeatureDescriptor*>> make_feature_list(
    const std::vector<onnx_value_info>& values, bool inputs) {
    std::vector<com_ptr<ILearningModelFeatureDescriptor>> descriptors;
    descriptors.reserve(values.size());
    for (const onnx_value_info& value : values) descriptors.push_back(make_feature_descriptor(value, inputs));
    return made<IVectorView<ILearningModelFeatureDescriptor*>>(
        vector_view<ILearningModelFeatureDescriptor*>::make(std::move(descriptors)));
}

// Metadata keys are unique in a valid model; should a file repeat one, the
// first entry is kept so that the map's size counts distinct keys.
com_ptr<IMapView<HSTRING, HSTRING>> make_metadata(const std::vector<std::pair<std::string, std::string>>& props) {
    std::vector<map_view<HSTRING>::entry> entries;
    entries.reserve(props.size());
    std::unordered_set<std::u16string> seen;
    for (const auto& [key, value] : props) {
        std::u16string wide_key = utf8_to_utf16(key);
        if (!seen.insert(wide_key).second) continue;
        entries.emplace_back(std::move(wide_key), utf8_to_utf16(value));
    }
    return made<IMapView<HSTRING, HSTRING>>(map_view<HSTRING>::make(std::move(entries)));
}

}  // namespace

LearningModel::LearningModel(std::unique_ptr<model_file> file, std::string path, onnx_model info)
    : file_(std::move(file)), path_(std::move(path)), info_(std::move(info)) {
    if (!file_) file_ = std::make_unique<model_file>(std::string());
    author_ = utf8_to_utf16(info_.producer_name);
    name_ = utf8_to_utf16(info_.graph_name);
    domain_ = utf8_to_utf16(info_.domain);
    description_ = utf8_to_utf16(info_.doc_string);
    metadata_ = make_metadata(info_.metadata_props);
    input_features_ = make_feature_list(info_.inputs, true);
    output_features_ = make_feature_list(info_.outputs, false);
}

HRESULT LearningModel::load(const std::string& path, com_ptr<LearningModel>& model) noexcept {
    model = nullptr;
    try {
        std::unique_ptr<model_file> file;
        const HRESULT read = model_file::open(path, file);
        if (failed(read)) return read;

        onnx_model info;
        std::string reason;
        if (read_onnx_model(file->image(), info, reason) != onnx_read_status::ok) {
            return fail(E_INVALID_MODEL, "not an ONNX model: " + reason + " (" + path + ")");
        }
        if (info.has_external_data) file->close_file();
        model = make(std::move(file), absolute_path(path), std::move(info));
        if (!model) return fail(E_OUTOFMEMORY, "out of memory loading a model");
        return S_OK;
    } catch (const std::bad_alloc&) {
        return fail(E_OUTOFMEMORY, "out of memory loading a model");
    } catch (...) {
        return fail(E_FAIL, "unexpected failure loading a model");
    }
}

HRESULT LearningModel::get_Author(HSTRING* author) { return hand_out_string(author_, author); }
HRESULT LearningModel::get_Name(HSTRING* name) { return hand_out_string(name_, name); }
HRESULT LearningModel::get_Domain(HSTRING* domain) { return hand_out_string(domain_, domain); }
HRESULT LearningModel::get_Description(HSTRING* description) { return hand_out_string(description_, description); }

HRESULT LearningModel::get_Version(int64_t* version) {
    if (version == nullptr) return E_POINTER;
    *version = info_.model_version;
    return S_OK;
}

HRESULT LearningModel::get_Metadata(IMapView<HSTRING, HSTRING>** metadata) { return hand_out(metadata_, metadata); }

HRESULT LearningModel::get_InputFeatures(IVectorView<ILearningModelFeatureDescriptor*>** features) {
    return hand_out(input_features_, features);
}

HRESULT LearningModel::get_OutputFeatures(IVectorView<ILearningModelFeatureDescriptor*>** features) {
    return hand_out(output_features_, features);
}

namespace {

class LearningModelStatics final
    : public com_object<LearningModelStatics, IActivationFactory, ILearningModelStatics, IAgileObject> {
public:
    HRESULT ActivateInstance(IUnknown** instance) override {
        if (instance != nullptr) *instance = nullptr;
        return fail(E_NOTIMPL, "LearningModel has no default constructor; use LoadFromFilePath");
    }

    HRESULT LoadFromFilePath(HSTRING path, ILearningModel** model) override {
        if (model == nullptr) return fail(E_POINTER, "LoadFromFilePath: null result pointer");
        *model = nullptr;
        try {
            const std::u16string_view wide = hstring_view(path);
            // A NUL would cut the path short when handed to the file system,
            // opening some other file than the one named.
            if (wide.find(u'\0') != std::u16string_view::npos) {
                return fail(E_INVALIDARG, "model path contains a NUL character");
            }
            com_ptr<LearningModel> loaded;
            const HRESULT hr = LearningModel::load(utf16_to_utf8(wide), loaded);
            if (failed(hr)) return hr;
            *model = loaded.detach();
            return S_OK;
        } catch (const std::bad_alloc&) {
            return fail(E_OUTOFMEMORY, "out of memory loading a model");
        } catch (...) {
            return fail(E_FAIL, "unexpected failure loading a model");
        }
    }
};

}  // namespace

com_ptr<IActivationFactory> make_learning_model_factory() {
    // One factory per process, published once; a failed attempt (no memory)
    // leaves the slot empty so that a later call can try again.
    static std::atomic<LearningModelStatics*> instance{nullptr};
    LearningModelStatics* current = instance.load(std::memory_order_acquire);
    if (current == nullptr) {
        com_ptr<LearningModelStatics> fresh = LearningModelStatics::make();
        if (!fresh) return nullptr;
        if (instance.compare_exchange_strong(current, fresh.get(), std::memory_order_acq_rel)) {
            current = fresh.detach();  // the slot keeps this reference for good
        }
    }
    return com_ptr<IActivationFactory>::copy_from(current);
}

}  // namespace runtime
