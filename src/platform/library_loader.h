// The one place the module loads shared libraries by name. Native tests swap
// in fakes to drive activation without real libraries.
#pragma once

namespace qelmo::platform {

struct library_loader {
    // A handle for the library, or null. Bare names are looked up through the
    // module's RUNPATH, which points at the runtime shipped in the package.
    void* (*load)(const char* name);
    void* (*symbol)(void* library, const char* name);
    void (*unload)(void* library);
};

const library_loader& current_library_loader();

// Test seam: replaces the loader (the real one again for null) and forgets
// everything resolved through the previous one.
void set_library_loader_for_testing(const library_loader* loader);

}  // namespace qelmo::platform
