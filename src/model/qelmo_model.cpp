#include "model/qelmo_model.h"

#include "activation.h"
#include "model/text_conversion.h"
#include "projection.h"
#include "win32.h"

namespace qelmo {
namespace {

using namespace mlabi;
using platform::check_status;

constexpr const char* model_capsule_name = "Windows.AI.MachineLearning.LearningModel";

std::string read_text(ILearningModel* model, HRESULT (ILearningModel::*property)(HSTRING*)) {
    return to_utf8(platform::get_text(model, property).view());
}

std::vector<std::string> read_feature_names(ILearningModel* model, feature_list_property features) {
    std::vector<std::string> names;
    for (const auto& feature : platform::items(platform::get(model, features).get())) {
        names.push_back(to_utf8(platform::get_text(feature.get(), &ILearningModelFeatureDescriptor::get_Name).view()));
    }
    return names;
}

// Releases the reference the capsule was made with. Runs with the GIL held;
// it must leave no Python error behind.
void release_model_capsule(PyObject* capsule) {
    auto* model = static_cast<ILearningModel*>(PyCapsule_GetPointer(capsule, model_capsule_name));
    if (model != nullptr) {
        model->Release();
    } else {
        PyErr_Clear();
    }
}

}  // namespace

QelmoModel::QelmoModel(const std::u16string& model_path) {
    check_status(platform::CoInitializeEx(nullptr, platform::COINIT_MULTITHREADED));

    hstring_reference path(model_path);
    static platform::factory_slot<ILearningModelStatics> statics{ILearningModelStatics::runtime_class};
    check_status(statics.get()->LoadFromFilePath(path.get(), model_.put()));
    // A runtime that reports success without a model would leave every later
    // call dereferencing null.
    if (!model_) check_status(E_POINTER);
}

pybind11::capsule QelmoModel::get_model() const {
    com_ptr<ILearningModel> reference = model_;
    pybind11::capsule capsule(static_cast<const void*>(reference.get()), model_capsule_name, &release_model_capsule);
    reference.detach();  // now the capsule's
    return capsule;
}

std::string QelmoModel::get_author() const { return read_text(model_.get(), &ILearningModel::get_Author); }
std::string QelmoModel::get_name() const { return read_text(model_.get(), &ILearningModel::get_Name); }
std::string QelmoModel::get_domain() const { return read_text(model_.get(), &ILearningModel::get_Domain); }
std::string QelmoModel::get_description() const { return read_text(model_.get(), &ILearningModel::get_Description); }

std::vector<std::string> QelmoModel::get_input_names() const {
    return read_feature_names(model_.get(), &ILearningModel::get_InputFeatures);
}
std::vector<std::string> QelmoModel::get_output_names() const {
    return read_feature_names(model_.get(), &ILearningModel::get_OutputFeatures);
}

}  // namespace qelmo
