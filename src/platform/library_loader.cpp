#include "library_loader.h"

#include <dlfcn.h>

#include <atomic>

#include "activation.h"

namespace qelmo::platform {
namespace {

void* load_shared_library(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }
void* find_symbol(void* library, const char* name) { return dlsym(library, name); }
void unload_shared_library(void* library) { dlclose(library); }

constexpr library_loader shared_library_loader{&load_shared_library, &find_symbol, &unload_shared_library};

std::atomic<const library_loader*> active_loader{&shared_library_loader};

}  // namespace

const library_loader& current_library_loader() { return *active_loader.load(std::memory_order_acquire); }

void set_library_loader_for_testing(const library_loader* loader) {
    active_loader.store(loader != nullptr ? loader : &shared_library_loader, std::memory_order_release);
    reset_activation_for_testing();
}

}  // namespace qelmo::platform
