#include "model/qelmo_model.h"

#include "activation.h"
#include "model/text_conversion.h"
#include "owned_hstring.h"
#include "platform_error.h"
#include "win32.h"

namespace qelmo {
namespace {

using platform::check_status;

constexpr const char* model_capsule_name = "Windows.AI.MachineLearning.LearningModel";

using string_property = mlabi::HRESULT (mlabi::ILearningModel::*)(mlabi::HSTRING*);
using feature_list_property =
    mlabi::HRESULT (mlabi::ILearningModel::*)(mlabi::IVectorView<mlabi::ILearningModelFeatureDescriptor*>**);

std::string read_string(mlabi::ILearningModel* model, string_property property) {
    platform::owned_hstring value;
    check_status((model->*property)(value.put()));
    return to_utf8(value.view());
}

std::vector<std::string> read_feature_names(mlabi::ILearningModel* model, feature_list_property property) {
    mlabi::com_ptr<mlabi::IVectorView<mlabi::ILearningModelFeatureDescriptor*>> features;
    check_status((model->*property)(features.put()));
    if (!features) check_status(mlabi::E_POINTER);
    uint32_t size = 0;
    check_status(features->get_Size(&size));

    std::vector<std::string> names;
    names.reserve(size);
    for (uint32_t i = 0; i < size; ++i) {
        mlabi::com_ptr<mlabi::ILearningModelFeatureDescriptor> descriptor;
        check_status(features->GetAt(i, descriptor.put()));
        // A list that hands out a hole has nothing to name at this index.
        if (!descriptor) continue;
        platform::owned_hstring name;
        check_status(descriptor->get_Name(name.put()));
        names.push_back(to_utf8(name.view()));
    }
    return names;
}

// Releases the reference the capsule was made with. Runs with the GIL held;
// it must leave no Python error behind.
void release_model_capsule(PyObject* capsule) {
    auto* model = static_cast<mlabi::ILearningModel*>(PyCapsule_GetPointer(capsule, model_capsule_name));
    if (model != nullptr) {
        model->Release();
    } else {
        PyErr_Clear();
    }
}

}  // namespace

QelmoModel::QelmoModel(const std::u16string& model_path) {
    check_status(platform::CoInitializeEx(nullptr, platform::COINIT_MULTITHREADED));

    mlabi::hstring_reference path(model_path);
    static platform::factory_slot<mlabi::ILearningModelStatics> statics{mlabi::ILearningModelStatics::runtime_class};
    check_status(statics.get()->LoadFromFilePath(path.get(), model_.put()));
    // A runtime that reports success without a model would leave every later
    // call dereferencing null.
    if (!model_) check_status(mlabi::E_POINTER);
}

pybind11::capsule QelmoModel::get_model() const {
    mlabi::com_ptr<mlabi::ILearningModel> reference = model_;
    pybind11::capsule capsule(static_cast<const void*>(reference.get()), model_capsule_name, &release_model_capsule);
    reference.detach();  // now the capsule's
    return capsule;
}

std::string QelmoModel::get_author() const { return read_string(model_.get(), &mlabi::ILearningModel::get_Author); }
std::string QelmoModel::get_name() const { return read_string(model_.get(), &mlabi::ILearningModel::get_Name); }
std::string QelmoModel::get_domain() const { return read_string(model_.get(), &mlabi::ILearningModel::get_Domain); }
std::string QelmoModel::get_description() const {
    return read_string(model_.get(), &mlabi::ILearningModel::get_Description);
}

std::vector<std::string> QelmoModel::get_input_names() const {
    return read_feature_names(model_.get(), &mlabi::ILearningModel::get_InputFeatures);
}
std::vector<std::string> QelmoModel::get_output_names() const {
    return read_feature_names(model_.get(), &mlabi::ILearningModel::get_OutputFeatures);
}

}  // namespace qelmo
