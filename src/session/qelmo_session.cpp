#include "session/qelmo_session.h"

#include <utility>

#include "activation.h"
#include "projection.h"

namespace qelmo {
using namespace mlabi;
using platform::check_status;
using platform::factory_slot;

namespace {

factory_slot<ILearningModelDeviceFactory> device_factory{ILearningModelDeviceFactory::runtime_class};
factory_slot<ILearningModelSessionFactory> session_factory{ILearningModelSessionFactory::runtime_class};

}  // namespace

QelmoSession::QelmoSession(const QelmoModel& model, LearningModelDeviceKind device_type) {
    com_ptr<ILearningModelDevice> device;
    check_status(device_factory.get()->Create(device_type, device.put()));
    // The platform session keeps the model and the device alive.
    check_status(session_factory.get()->CreateFromModelOnDevice(model.model().get(), device.get(), session_.put()));

    const auto session_model = platform::get(session_.get(), &ILearningModelSession::get_Model);
    for (const auto& output : platform::items(platform::get(session_model.get(), &ILearningModel::get_OutputFeatures).get())) {
        output_names_.emplace_back(platform::get_text(output.get(), &ILearningModelFeatureDescriptor::get_Name).view());
    }
}

QelmoSession::~QelmoSession() {
    // Array references go first, while the session still exists.
    staged_inputs_.clear();
    session_ = nullptr;
}

// Dropping an array reference can run Python code (a subclass's __del__, a
// weakref callback) that stages or clears inputs of this very session, so
// references leave the map first and are dropped once it is consistent.

void QelmoSession::set_input(const std::u16string& name, const QelmoValue& value) {
    const auto [entry, inserted] = staged_inputs_.try_emplace(name, value);
    if (inserted) return;
    // The new reference is taken before the old one is dropped.
    const QelmoValue replaced = std::exchange(entry->second, value);
}

void QelmoSession::clear_input() {
    std::unordered_map<std::u16string, QelmoValue> dropped;
    dropped.swap(staged_inputs_);
}

}  // namespace qelmo
