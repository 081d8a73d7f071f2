#include "session/qelmo_session.h"

#include <utility>

#include "activation.h"
#include "owned_hstring.h"
#include "platform_error.h"

namespace qelmo {
using namespace mlabi;
using platform::check_status;
using platform::factory_slot;
using platform::owned_hstring;

namespace {

factory_slot<ILearningModelDeviceFactory> device_factory{ILearningModelDeviceFactory::runtime_class};
factory_slot<ILearningModelSessionFactory> session_factory{ILearningModelSessionFactory::runtime_class};

}  // namespace

QelmoSession::QelmoSession(const QelmoModel& model, LearningModelDeviceKind device_type) {
    com_ptr<ILearningModelDevice> device;
    check_status(device_factory.get()->Create(device_type, device.put()));
    // The platform session keeps the model and the device alive.
    check_status(session_factory.get()->CreateFromModelOnDevice(model.model().get(), device.get(), session_.put()));

    com_ptr<ILearningModel> session_model;
    check_status(session_->get_Model(session_model.put()));
    com_ptr<IVectorView<ILearningModelFeatureDescriptor*>> features;
    check_status(session_model->get_OutputFeatures(features.put()));
    uint32_t count = 0;
    check_status(features->get_Size(&count));
    output_names_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        com_ptr<ILearningModelFeatureDescriptor> descriptor;
        check_status(features->GetAt(i, descriptor.put()));
        owned_hstring name;
        check_status(descriptor->get_Name(name.put()));
        output_names_.emplace_back(name.view());
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
