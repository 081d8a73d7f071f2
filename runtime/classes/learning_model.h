// The LearningModel runtime class: a loaded ONNX file.
#pragma once

#include <memory>
#include <string>

#include "com/boundary.h"
#include "memory/external_data.h"
#include "memory/model_file.h"
#include "onnx/onnx_model.h"

namespace runtime {

class LearningModel final : public com_object<LearningModel, ILearningModel, IAgileObject> {
public:
    static constexpr GUID implementation_iid{0x3C1E4A7B, 0x5D2F, 0x4E8A, {0x9B, 0x61, 0x7A, 0x2C, 0x4D, 0x8E, 0x1F, 0x30}};

    // `file`: the file's bytes, complete or as far as read, for sessions;
    // `path`: the file's absolute path (UTF-8); `folder`: where the files
    // its tensors keep data in may be. Builds every descriptor and view
    // once; throws std::bad_alloc.
    LearningModel(std::unique_ptr<model_file> file, std::string path, onnx_model info,
                  external_data_folder folder = {});

    // Reads and parses the model file at `path` (UTF-8), and checks the
    // files its tensors keep data in (external_data.h). Failures are
    // recorded with fail(): E_FILE_NOT_FOUND, E_ACCESSDENIED,
    // E_INVALID_MODEL, E_OUTOFMEMORY.
    static HRESULT load(const std::string& path, com_ptr<LearningModel>& model) noexcept;

    HRESULT get_Author(HSTRING* author) override;
    HRESULT get_Name(HSTRING* name) override;
    HRESULT get_Domain(HSTRING* domain) override;
    HRESULT get_Description(HSTRING* description) override;
    HRESULT get_Version(int64_t* version) override;
    HRESULT get_Metadata(IMapView<HSTRING, HSTRING>** metadata) override;
    HRESULT get_InputFeatures(IVectorView<ILearningModelFeatureDescriptor*>** features) override;
    HRESULT get_OutputFeatures(IVectorView<ILearningModelFeatureDescriptor*>** features) override;

    model_file& file() const { return *file_; }
    const std::string& path() const { return path_; }
    const onnx_model& info() const { return info_; }
    const external_data_folder& external_folder() const { return external_folder_; }

private:
    std::unique_ptr<model_file> file_;  // never null
    std::string path_;
    onnx_model info_;
    external_data_folder external_folder_;
    // Made once at construction; never change under a caller.
    std::u16string author_, name_, domain_, description_;
    com_ptr<IMapView<HSTRING, HSTRING>> metadata_;
    com_ptr<IVectorView<ILearningModelFeatureDescriptor*>> input_features_;
    com_ptr<IVectorView<ILearningModelFeatureDescriptor*>> output_features_;
};

}  // namespace runtime
