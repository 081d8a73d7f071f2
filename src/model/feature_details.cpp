// QelmoModel's description of its tensor features.
#include "model/qelmo_model.h"
#include "model/tensor_kind_names.h"
#include "model/text_conversion.h"
#include "owned_hstring.h"
#include "platform_error.h"

namespace qelmo {
namespace {

using platform::check_status;

using feature_list_property =
    abi::HRESULT (abi::ILearningModel::*)(abi::IVectorView<abi::ILearningModelFeatureDescriptor*>**);

std::vector<int64_t> read_shape(abi::ITensorFeatureDescriptor* tensor) {
    abi::com_ptr<abi::IVectorView<int64_t>> shape_view;
    check_status(tensor->get_Shape(shape_view.put()));
    if (!shape_view) check_status(abi::E_POINTER);
    uint32_t rank = 0;
    check_status(shape_view->get_Size(&rank));
    std::vector<int64_t> shape(rank);
    for (uint32_t j = 0; j < rank; ++j) check_status(shape_view->GetAt(j, &shape[j]));
    return shape;
}

// One entry per tensor feature, in the runtime's order; images, maps and
// sequences are not tensors and are left out.
std::vector<FeatureDetail> read_feature_details(abi::ILearningModel* model, feature_list_property property) {
    abi::com_ptr<abi::IVectorView<abi::ILearningModelFeatureDescriptor*>> features;
    check_status((model->*property)(features.put()));
    if (!features) check_status(abi::E_POINTER);
    uint32_t size = 0;
    check_status(features->get_Size(&size));

    std::vector<FeatureDetail> details;
    for (uint32_t i = 0; i < size; ++i) {
        abi::com_ptr<abi::ILearningModelFeatureDescriptor> descriptor;
        check_status(features->GetAt(i, descriptor.put()));
        if (!descriptor) continue;
        auto tensor = descriptor.try_as<abi::ITensorFeatureDescriptor>();
        if (!tensor) continue;

        abi::com_ptr<abi::ILearningModelFeatureDescriptor> named;
        check_status(tensor.as(named));
        platform::owned_hstring name;
        check_status(named->get_Name(name.put()));
        std::vector<int64_t> shape = read_shape(tensor.get());
        abi::TensorKind kind = abi::TensorKind::Undefined;
        check_status(tensor->get_TensorKind(&kind));

        details.emplace_back(to_utf8(name.view()), std::move(shape),
                             tensor_kind_to_string(static_cast<int32_t>(kind)));
    }
    return details;
}

}  // namespace

std::vector<FeatureDetail> QelmoModel::get_input_details() const {
    return read_feature_details(model_.get(), &abi::ILearningModel::get_InputFeatures);
}

std::vector<FeatureDetail> QelmoModel::get_output_details() const {
    return read_feature_details(model_.get(), &abi::ILearningModel::get_OutputFeatures);
}

}  // namespace qelmo
