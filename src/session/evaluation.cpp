// QelmoSession::evaluate: bind the staged inputs, run once, read every
// tensor output back into a new array.
#include <utility>

#include "activation.h"
#include "projection.h"
#include "session/qelmo_session.h"
#include "tensor/array_from_tensor.h"
#include "tensor/array_to_tensor.h"

namespace qelmo {
using namespace mlabi;
using platform::check_status;
using platform::factory_slot;

namespace {

factory_slot<ILearningModelBindingFactory> binding_factory{ILearningModelBindingFactory::runtime_class};

constexpr char16_t correlation_id[] = u"RunId";

com_ptr<ILearningModelBinding> bind_inputs(ILearningModelSession* session,
                                           const std::unordered_map<std::u16string, QelmoValue>& inputs) {
    com_ptr<ILearningModelBinding> binding;
    check_status(binding_factory.get()->CreateFromSession(session, binding.put()));
    for (const auto& [name, value] : inputs) {
        const com_ptr<ITensor> tensor = create_tensor_from_value(value);
        hstring_reference bound_name(name);
        check_status(binding->Bind(bound_name.get(), tensor.get()));
    }
    return binding;
}

// The output as a tensor, or null for sequences, maps and other values.
com_ptr<ITensor> as_tensor(const com_ptr<IUnknown>& output) {
    const auto feature = output.try_as<ILearningModelFeatureValue>();
    if (!feature) return nullptr;
    const auto kind = platform::get_value(feature.get(), &ILearningModelFeatureValue::get_Kind);
    if (kind != LearningModelFeatureKind::Tensor) return nullptr;
    return output.try_as<ITensor>();
}

}  // namespace

NamedOutputs QelmoSession::evaluate() {
    com_ptr<ILearningModelBinding> binding = bind_inputs(session_.get(), staged_inputs_);

    com_ptr<ILearningModelEvaluationResult> result;
    hstring_reference run_id(correlation_id, sizeof correlation_id / sizeof correlation_id[0] - 1);
    check_status(session_->Evaluate(binding.get(), run_id.get(), result.put()));

    NamedOutputs outputs;
    outputs.reserve(output_names_.size());
    com_ptr<IMapView<HSTRING, IUnknown*>> values;
    for (const std::u16string& name : output_names_) {
        if (!values) values = platform::get(result.get(), &ILearningModelEvaluationResult::get_Outputs);
        com_ptr<IUnknown> output;
        hstring_reference key(name);
        check_status(values->Lookup(key.get(), output.put()));
        const com_ptr<ITensor> tensor = as_tensor(output);
        if (!tensor) continue;

        if (auto array = array_from_tensor(tensor.get())) {
            outputs.emplace_back(name, QelmoValue(std::move(*array)));
        }
    }
    return outputs;
}

}  // namespace qelmo
