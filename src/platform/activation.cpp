#include "activation.h"

#include <string>

#include "abi/machine_learning.h"
#include "library_loader.h"

namespace qelmo::platform {
namespace {

using namespace mlabi;

using system_activation_function = HRESULT (*)(HSTRING class_name, const GUID& iid, void** factory);
using increment_mta_usage_function = HRESULT (*)(void** cookie);

// What answers when there is no system activation library (always, on Linux).
HRESULT class_not_available(HSTRING, const GUID&, void** factory) {
    if (factory != nullptr) *factory = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

struct system_activation {
    void* library = nullptr;
    system_activation_function activate = &class_not_available;
};

constexpr const char* system_library_name = "combase.so";

std::atomic<const system_activation*> resolved{nullptr};

// Resolved once per process; the system library stays loaded.
const system_activation& system_activation_entry() {
    if (const system_activation* known = resolved.load(std::memory_order_acquire)) return *known;
    auto* found = new system_activation();
    const library_loader& loader = current_library_loader();
    if (void* library = loader.load(system_library_name)) {
        if (void* function = loader.symbol(library, "RoGetActivationFactory")) {
            found->library = library;
            found->activate = reinterpret_cast<system_activation_function>(function);
        } else {
            loader.unload(library);
        }
    }
    const system_activation* expected = nullptr;
    if (!resolved.compare_exchange_strong(expected, found, std::memory_order_acq_rel)) {
        if (found->library != nullptr) loader.unload(found->library);
        delete found;
        return *expected;
    }
    return *found;
}

HRESULT activate_through_system(const system_activation& system, HSTRING name, const GUID& iid, void** factory) {
    HRESULT answer = system.activate(name, iid, factory);
    if (answer != CO_E_NOTINITIALIZED || system.library == nullptr) return answer;
    // The thread has joined no apartment: keep the multi-threaded one alive
    // for the process (the cookie is never released) and ask once more.
    auto increment = reinterpret_cast<increment_mta_usage_function>(
        current_library_loader().symbol(system.library, "CoIncrementMTAUsage"));
    if (increment == nullptr) return answer;
    void* cookie = nullptr;
    increment(&cookie);
    return system.activate(name, iid, factory);
}

// The first namespace library that served an activation; it stays loaded.
std::atomic<void*> runtime_library{nullptr};

// Tries the libraries named after the class's namespace, longest name first:
// "Windows.AI.MachineLearning.so", "Windows.AI.so", "Windows.so".
HRESULT activate_from_namespace_library(std::u16string_view class_name, HSTRING name, const GUID& iid,
                                        void** factory) {
    const library_loader& loader = current_library_loader();
    std::u16string_view prefix = class_name;
    for (size_t dot = prefix.rfind(u'.'); dot != std::u16string_view::npos; dot = prefix.rfind(u'.')) {
        prefix = prefix.substr(0, dot);
        std::string library_name;
        library_name.reserve(prefix.size() + 3);
        for (char16_t c : prefix) library_name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        library_name += ".so";

        void* library = loader.load(library_name.c_str());
        if (library == nullptr) continue;
        auto get_factory =
            reinterpret_cast<DllGetActivationFactoryFunction>(loader.symbol(library, "DllGetActivationFactory"));
        if (get_factory != nullptr) {
            com_ptr<IActivationFactory> activation_factory;
            if (succeeded(get_factory(name, activation_factory.put())) && activation_factory &&
                succeeded(activation_factory->QueryInterface(iid, factory)) && *factory != nullptr) {
                void* none = nullptr;
                runtime_library.compare_exchange_strong(none, library, std::memory_order_acq_rel);
                return S_OK;  // the library stays loaded
            }
        }
        loader.unload(library);
    }
    return E_FAIL;
}

std::atomic<factory_slot_base*> filled_slots{nullptr};

}  // namespace

void activate_factory(std::u16string_view class_name, const GUID& iid, void** factory) {
    *factory = nullptr;
    hstring_reference name(class_name.data(), static_cast<uint32_t>(class_name.size()));
    const HRESULT answer = activate_through_system(system_activation_entry(), name.get(), iid, factory);
    if (succeeded(answer) && *factory != nullptr) return;
    if (succeeded(activate_from_namespace_library(class_name, name.get(), iid, factory))) return;
    check_status(failed(answer) ? answer : E_NOINTERFACE);
}

void* find_runtime_export(const char* name) {
    const library_loader& loader = current_library_loader();
    if (void* library = runtime_library.load(std::memory_order_acquire)) {
        if (void* function = loader.symbol(library, name)) return function;
    }
    const system_activation* system = resolved.load(std::memory_order_acquire);
    if (system != nullptr && system->library != nullptr) return loader.symbol(system->library, name);
    return nullptr;
}

IUnknown* factory_slot_base::acquire() {
    if (IUnknown* cached = factory_.load(std::memory_order_acquire)) {
        cached->AddRef();
        return cached;
    }
    void* raw = nullptr;
    activate_factory(class_name_, iid_, &raw);
    auto fresh = com_ptr<IUnknown>::attach(static_cast<IUnknown*>(raw));
    if (!fresh.try_as<IAgileObject>()) return fresh.detach();  // used for this call only

    IUnknown* expected = nullptr;
    if (factory_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) {
        fresh->AddRef();  // the slot's own reference
        factory_slot_base* head = filled_slots.load(std::memory_order_relaxed);
        do {
            next_ = head;
        } while (!filled_slots.compare_exchange_weak(head, this, std::memory_order_release,
                                                     std::memory_order_relaxed));
        return fresh.detach();
    }
    // Another thread filled the slot first: use its factory, drop ours.
    expected->AddRef();
    return expected;
}

void release_cached_factories() noexcept {
    factory_slot_base* slot = filled_slots.exchange(nullptr, std::memory_order_acq_rel);
    while (slot != nullptr) {
        factory_slot_base* next = slot->next_;
        if (IUnknown* factory = slot->factory_.exchange(nullptr, std::memory_order_acq_rel)) factory->Release();
        slot->next_ = nullptr;
        slot = next;
    }
}

void reset_activation_for_testing() {
    release_cached_factories();
    // Tests reset between cases, with no activation in flight.
    delete resolved.exchange(nullptr, std::memory_order_acq_rel);
    runtime_library.store(nullptr, std::memory_order_release);
}

}  // namespace qelmo::platform
