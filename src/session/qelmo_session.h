// QelmoSession: a model on a device, with the inputs staged for evaluation.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "abi/machine_learning.h"
#include "abi_support/com_ptr.h"
#include "model/qelmo_model.h"
#include "tensor/qelmo_value.h"

namespace qelmo {

// An evaluation's outputs by name, in the model's declared order: callers
// that unpack them by position get what the model lists. A type of its own,
// not a plain vector, so that the module hands it to Python as a dict.
struct NamedOutputs : std::vector<std::pair<std::u16string, QelmoValue>> {};

class QelmoSession {
public:
    QelmoSession(const QelmoModel& model, mlabi::LearningModelDeviceKind device_type);
    ~QelmoSession();

    // Stages `value` under `name`, replacing what was staged there.
    void set_input(const std::u16string& name, const QelmoValue& value);
    void clear_input();

    // Binds every staged input, evaluates, and returns every tensor output as
    // a new array, with its name, in the model's declared order.
    NamedOutputs evaluate();

private:
    mlabi::com_ptr<mlabi::ILearningModelSession> session_;
    // The model's output names in declared order; a model's outputs never
    // change, so they are read once rather than on every evaluation.
    std::vector<std::u16string> output_names_;
    std::unordered_map<std::u16string, QelmoValue> staged_inputs_;
};

}  // namespace qelmo
