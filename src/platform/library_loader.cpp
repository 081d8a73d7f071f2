#include "library_loader.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <string>

#include "activation.h"

namespace qelmo::platform {
namespace {

// Where the module's RUNPATH ($ORIGIN/qelmo.libs) points, spelled out.
std::string beside_module(const char* name) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&beside_module), &info) == 0 || info.dli_fname == nullptr) return {};
    const char* slash = std::strrchr(info.dli_fname, '/');
    if (slash == nullptr) return {};
    return std::string(info.dli_fname, slash + 1) + "qelmo.libs/" + name;
}

void* load_shared_library(const char* name) {
    if (void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL)) return library;
    // The loader reads the RUNPATH of the object that calls dlopen. A
    // sanitizer runtime preloaded into the interpreter intercepts dlopen and
    // becomes that caller, so bare names would no longer reach qelmo.libs.
    if (std::strchr(name, '/') != nullptr) return nullptr;
    const std::string path = beside_module(name);
    return path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
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
