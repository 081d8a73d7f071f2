// QelmoModel's description of its tensor features.
#include "model/qelmo_model.h"
#include "model/tensor_kind_names.h"
#include "model/text_conversion.h"
#include "projection.h"

namespace qelmo {
namespace {

using namespace mlabi;

// One entry per tensor feature, in the runtime's order; images, maps and
// sequences are not tensors and are left out.
std::vector<FeatureDetail> read_feature_details(ILearningModel* model, feature_list_property features) {
    std::vector<FeatureDetail> details;
    for (const auto& feature : platform::items(platform::get(model, features).get())) {
        const auto tensor = feature.try_as<ITensorFeatureDescriptor>();
        if (!tensor) continue;
        com_ptr<ILearningModelFeatureDescriptor> named;
        platform::check_status(tensor.as(named));
        std::string name = to_utf8(platform::get_text(named.get(), &ILearningModelFeatureDescriptor::get_Name).view());
        std::vector<int64_t> shape = platform::dimensions(platform::get(tensor.get(), &ITensorFeatureDescriptor::get_Shape).get());
        const auto kind = platform::get_value(tensor.get(), &ITensorFeatureDescriptor::get_TensorKind);
        details.emplace_back(std::move(name), std::move(shape), tensor_kind_to_string(static_cast<int32_t>(kind)));
    }
    return details;
}

}  // namespace

std::vector<FeatureDetail> QelmoModel::get_input_details() const {
    return read_feature_details(model_.get(), &ILearningModel::get_InputFeatures);
}

std::vector<FeatureDetail> QelmoModel::get_output_details() const {
    return read_feature_details(model_.get(), &ILearningModel::get_OutputFeatures);
}

}  // namespace qelmo
