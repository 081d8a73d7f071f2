// Runtime class activation by name, with a process-wide, lock-free cache of
// agile factories.
#pragma once

#include <atomic>
#include <string_view>

#include "abi/hstring.h"
#include "abi/unknown.h"
#include "abi_support/com_ptr.h"
#include "platform_error.h"

namespace qelmo::platform {

// The factory of `class_name` queried for `iid`, as a new reference in
// `*factory`; throws the platform error of the first failing answer.
void activate_factory(std::u16string_view class_name, const mlabi::GUID& iid, void** factory);

// A function exported by the runtime library that served an activation, or
// by the system activation library; null when neither has it (or nothing has
// been activated yet).
void* find_runtime_export(const char* name);

// One cache slot per runtime class and interface. Slots are constant-
// initialised statics with no destructor: a filled slot keeps its factory
// until the process ends (or release_cached_factories()).
class factory_slot_base {
public:
    constexpr factory_slot_base(const char16_t* class_name, const mlabi::GUID& iid) noexcept
        : class_name_(class_name), iid_(iid) {}

protected:
    // A new reference to the factory: from the slot, or freshly activated
    // (and published into the slot when it is agile).
    mlabi::IUnknown* acquire();

private:
    friend void release_cached_factories() noexcept;

    const char16_t* class_name_;
    const mlabi::GUID& iid_;
    std::atomic<mlabi::IUnknown*> factory_{nullptr};
    factory_slot_base* next_ = nullptr;  // in the list of filled slots
};

template <class Interface>
class factory_slot : public factory_slot_base {
public:
    constexpr explicit factory_slot(const char16_t* class_name) noexcept
        : factory_slot_base(class_name, Interface::iid) {}

    mlabi::com_ptr<Interface> get() { return mlabi::com_ptr<Interface>::attach(static_cast<Interface*>(acquire())); }
};

// Empties every filled slot, releasing its factory. Only for tests: at
// interpreter exit the factories are deliberately kept.
void release_cached_factories() noexcept;

// Test seam: forgets the resolved system activation function and empties
// the cache.
void reset_activation_for_testing();

}  // namespace qelmo::platform
