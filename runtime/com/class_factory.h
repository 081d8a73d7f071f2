// The activation factory of a runtime class: one object per process, made on
// first request, shared by every caller and never destroyed (no static
// destructor runs). Each answers IActivationFactory and the statics or
// factory interface its class is made through; ActivateInstance, a default
// constructor, is not offered by any class of this runtime.
#pragma once

#include <atomic>

#include "com/boundary.h"

namespace runtime {

// Derive as `class F : public class_factory<F, IFooStatics>` and give F a
// `static constexpr const char* how_to_make` naming the way to make one,
// reported when ActivateInstance is called.
template <class Derived, class Statics>
class class_factory : public com_object<Derived, IActivationFactory, Statics, IAgileObject> {
public:
    HRESULT ActivateInstance(IUnknown** instance) override {
        if (instance != nullptr) *instance = nullptr;
        return fail(E_NOTIMPL, Derived::how_to_make);
    }
};

// A new reference to the one Factory object; null when memory runs out (the
// slot stays empty, so that a later call tries again).
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
