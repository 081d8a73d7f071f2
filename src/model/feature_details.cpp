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
    mlabi::HRESULT (mlabi::ILearningModel::*)(mlabi::IVectorView<mlabi::ILearningModelFeatureDescriptor*>**);

std::vector<int64_t> read_shape(mlabi::ITensorFeatureDescriptor* tensor) {
    mlabi::com_ptr<mlabi::IVectorView<int64_t>> shape_view;
    check_status(tensor->get_Shape(shape_view.put()));
    if (!shape_view) check_status(mlabi::E_POINTER);
    uint32_t rank = 0;
    check_status(shape_view->get_Size(&rank));
    std::vector<int64_t> shape(rank);
    for (uint32_t j = 0; j < rank; ++j) check_status(shape_view->GetAt(j, &shape[j]));
    return shape;
}

// One entry per tensor feature, in the runtime's order; images, maps and
// sequences are not tensors and are left out.
std::vector<FeatureDetail> read_feature_details(mlabi::ILearningModel* model, feature_list_property property) {
    mlabi::com_ptr<mlabi::IVectorView<mlabi::ILearningModelFeatureDescriptor*>> features;
    check_status((model->*property)(features.put()));
    if (!features) check_status(mlabi::E_POINTER);
    uint32_t size = 0;
    check_status(features->get_Size(&size));

    std::vector<FeatureDetail> details;
    for (uint32_t i = 0; i < size; ++i) {
        mlabi::com_ptr<mlabi::ILearningModelFeatureDescriptor> descriptor;
        check_status(features->GetAt(i, descriptor.put()));
        if (!descriptor) continue;
        auto tensor = descriptor.try_as<mlabi::ITensorFeatureDescriptor>();
        if (!tensor) continue;

        mlabi::com_ptr<mlabi::ILearningModelFeatureDescriptor> named;
        check_status(tensor.as(named));
        platform::owned_hstring name;
        check_status(named->get_Name(name.put()));
        std::vector<int64_t> shape = read_shape(tensor.get());
        mlabi::TensorKind kind = mlabi::TensorKind::Undefined;
        check_status(tensor->get_TensorKind(&kind));

        details.emplace_back(to_utf8(name.view()), std::move(shape),
                             tensor_kind_to_string(static_cast<int32_t>(kind)));
    }
    return details;
}

}  // namespace

std::vector<FeatureDetail> QelmoModel::get_input_details() const {
    return read_feature_details(model_.get(), &mlabi::ILearningModel::get_InputFeatures);
}

std::vector<FeatureDetail> QelmoModel::get_output_details() const {
    return read_feature_details(model_.get(), &mlabi::ILearningModel::get_OutputFeatures);
}

}  // namespace qelmo
