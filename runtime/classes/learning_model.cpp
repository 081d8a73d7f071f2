#include "classes/learning_model.h"

#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "class_registry.h"
#include "classes/feature_descriptor.h"
#include "com/class_factory.h"
#include "com/error_info.h"
#include "com/map_view.h"
#include "com/text.h"
#include "com/vector_view.h"
#include "memory/file_reader.h"
#include "memory/model_file.h"
#include "onnx/file_kind.h"

namespace runtime {
namespace {

com_ptr<IVectorView<ILearningModelFeatureDescriptor*>> make_feature_list(
    const std::vector<onnx_value_info>& values, bool inputs) {
    std::vector<com_ptr<ILearningModelFeatureDescriptor>> descriptors;
    descriptors.reserve(values.size());
    for (const onnx_value_info& value : values) descriptors.push_back(make_feature_descriptor(value, inputs));
    return made_as<IVectorView<ILearningModelFeatureDescriptor*>>(
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
    return made_as<IMapView<HSTRING, HSTRING>>(map_view<HSTRING>::make(std::move(entries)));
}

}  // namespace

LearningModel::LearningModel(std::unique_ptr<model_file> file, std::string path, onnx_model info,
                             external_data_folder folder)
    : file_(std::move(file)), path_(std::move(path)), info_(std::move(info)), external_folder_(std::move(folder)) {
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
    return at_boundary("out of memory loading a model", "unexpected failure loading a model", [&] {
        std::unique_ptr<model_file> file;
        model_folders folders;
        const HRESULT read = model_file::open(path, file, &folders);
        if (failed(read)) return read;

        onnx_model info;
        std::string reason;
        if (read_onnx_model(file->image(), info, reason) != onnx_read_status::ok) {
            return fail(E_INVALID_MODEL, not_a_model_message(file->image(), reason, path));
        }
        std::string full_path = absolute_path(path);
        external_data_folder folder;
        if (info.has_external_data) {
            // The folders stay open with the model: its sessions look its
            // files up in them again.
            folder = external_data_folder{full_path, std::move(folders)};
            external_data_files files;
            if (HRESULT hr = files.open(folder, file->image(), info.external_data, false); failed(hr)) return hr;
        }
        model = made_as<LearningModel>(make(std::move(file), std::move(full_path), std::move(info), std::move(folder)));
        return S_OK;
    });
}

HRESULT LearningModel::get_Author(HSTRING* author) { return hand_out_string(author_, author); }
HRESULT LearningModel::get_Name(HSTRING* name) { return hand_out_string(name_, name); }
HRESULT LearningModel::get_Domain(HSTRING* domain) { return hand_out_string(domain_, domain); }
HRESULT LearningModel::get_Description(HSTRING* description) { return hand_out_string(description_, description); }

HRESULT LearningModel::get_Version(int64_t* version) { return hand_out_value(info_.model_version, version); }

HRESULT LearningModel::get_Metadata(IMapView<HSTRING, HSTRING>** metadata) { return hand_out(metadata_, metadata); }

HRESULT LearningModel::get_InputFeatures(IVectorView<ILearningModelFeatureDescriptor*>** features) {
    return hand_out(input_features_, features);
}

HRESULT LearningModel::get_OutputFeatures(IVectorView<ILearningModelFeatureDescriptor*>** features) {
    return hand_out(output_features_, features);
}

namespace {

class LearningModelStatics final : public class_factory<LearningModelStatics, ILearningModelStatics> {
public:
    static constexpr const char* how_to_make = "LearningModel has no default constructor; use LoadFromFilePath";

    HRESULT LoadFromFilePath(HSTRING path, ILearningModel** model) override {
        if (model == nullptr) return null_out_parameter();
        *model = nullptr;
        return at_boundary("out of memory loading a model", "unexpected failure loading a model", [&] {
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
        });
    }
};

}  // namespace

com_ptr<IActivationFactory> make_learning_model_factory() { return shared_factory<LearningModelStatics>(); }

}  // namespace runtime
