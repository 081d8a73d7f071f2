// QelmoModel: one loaded model file and the questions it answers.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "abi/machine_learning.h"
#include "abi_support/com_ptr.h"

namespace qelmo {

// (name, shape, element type name) of one tensor feature.
using FeatureDetail = std::tuple<std::string, std::vector<int64_t>, std::string>;

// ILearningModel's InputFeatures or OutputFeatures.
using feature_list_property =
    mlabi::HRESULT (mlabi::ILearningModel::*)(mlabi::IVectorView<mlabi::ILearningModelFeatureDescriptor*>**);

class QelmoModel {
public:
    // Joins the calling thread to the multi-threaded apartment and loads the
    // model at `model_path`; a failing load throws the platform error.
    explicit QelmoModel(const std::u16string& model_path);

    // A capsule named "Windows.AI.MachineLearning.LearningModel" holding one
    // counted reference to the loaded model (an ILearningModel*).
    pybind11::capsule get_model() const;

    std::string get_author() const;
    std::string get_name() const;
    std::string get_domain() const;
    std::string get_description() const;
    std::vector<std::string> get_input_names() const;
    std::vector<std::string> get_output_names() const;
    std::vector<FeatureDetail> get_input_details() const;
    std::vector<FeatureDetail> get_output_details() const;

    // The platform model, never null; sessions are built from it.
    const mlabi::com_ptr<mlabi::ILearningModel>& model() const { return model_; }

private:
    mlabi::com_ptr<mlabi::ILearningModel> model_;
};

}  // namespace qelmo
