// Factory makers of every runtime class, one per class family file. Each
// returns a new reference to the class's process-wide activation factory
// (agile: offering IAgileObject, IActivationFactory and the class's statics or
// factory interface), made on first call and never destroyed; null when
// memory runs out.
#pragma once

#include "abi/machine_learning.h"
#include "abi_support/com_ptr.h"

namespace runtime {

mlabi::com_ptr<mlabi::IActivationFactory> make_learning_model_factory();
mlabi::com_ptr<mlabi::IActivationFactory> make_learning_model_device_factory();
mlabi::com_ptr<mlabi::IActivationFactory> make_learning_model_session_factory();
mlabi::com_ptr<mlabi::IActivationFactory> make_learning_model_binding_factory();

// One per typed tensor interface, e.g. make_tensor_factory<ITensorFloat>()
// for "Windows.AI.MachineLearning.TensorFloat".
template <class TypedTensor>
mlabi::com_ptr<mlabi::IActivationFactory> make_tensor_factory();

}  // namespace runtime
