#include "onnxruntime/cuda_page_locking.h"

#include <dlfcn.h>

#include "memory/page_locking.h"
#include "onnxruntime/elf_dependencies.h"

namespace runtime {

void enable_cuda_page_locking(const std::string& provider) noexcept {
    try {
        elf_dependencies dependencies;
        if (!read_elf_dependencies(provider, dependencies)) return;
        for (const std::string& name : dependencies.needed) {
            if (name.rfind("libcudart.so", 0) != 0) continue;
            // Already loaded by the provider. The handle is kept for the
            // life of the process, so the functions outlive the provider.
            void* cuda_runtime = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
            if (cuda_runtime == nullptr) return;
            auto lock = reinterpret_cast<lock_pages_function>(dlsym(cuda_runtime, "cudaHostRegister"));
            auto unlock = reinterpret_cast<unlock_pages_function>(dlsym(cuda_runtime, "cudaHostUnregister"));
            if (lock != nullptr && unlock != nullptr) enable_page_locking(lock, unlock);
            return;
        }
    } catch (...) {  // out of memory reading the file: the buffers stay as they are
    }
}

}  // namespace runtime
