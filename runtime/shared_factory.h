// The process-wide factory object of a runtime class: made on first request,
// shared by every caller, never destroyed (no static destructor runs).
#pragma once

#include <atomic>

#include "com_object.h"

namespace runtime {

// A new reference to the one Factory object; null when memory runs out.
// Factory is a com_object offering IActivationFactory.
template <class Factory>
com_ptr<IActivationFactory> shared_factory() noexcept {
    static std::atomic<Factory*> instance{nullptr};
    Factory* current = instance.load(std::memory_order_acquire);
    if (current == nullptr) {
        com_ptr<Factory> made = Factory::make();
        if (!made) return nullptr;
        Factory* expected = nullptr;
        if (instance.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
            current = made.detach();  // the slot keeps this reference forever
        } else {
            current = expected;  // another thread won; ours is released
        }
    }
    return com_ptr<IActivationFactory>::copy_from(static_cast<IActivationFactory*>(current));
}

}  // namespace runtime
