// ONNX Runtime, loaded at run time. Everything here is process-wide and made
// once: the library handle, the negotiated API (handed to the C++ API), the
// environment (with a logger that keeps ONNX Runtime off stderr and one
// thread pool for every session) and the CPU memory description. None of it
// is ever released, so nothing touches ONNX Runtime from static destructors
// at process exit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "onnxruntime/onnxruntime_api.h"

namespace runtime {

struct onnxruntime {
    Ort::Env* env = nullptr;
    Ort::MemoryInfo* cpu_memory = nullptr;  // for tensors over our own storage
    bool shared_thread_pool = false;        // sessions must disable their own pools
    int intra_op_threads = 0;               // the shared pool's threads; 0: ONNX Runtime's default
    uint32_t api_version = 0;               // the C API version negotiated with the library
    std::string library_path;               // the file loaded
    std::string version;                    // as the library reports it, e.g. "1.32.0"
    // The onnxruntime-gpu package installed beside qelmo, if any: its version
    // and the library its record lists.
    std::string gpu_package_version;
    std::string gpu_package_library;
    // Where Python packages are installed (the folders holding the onnxruntime
    // package and qelmo), for NVIDIA's pip-installed CUDA libraries.
    std::vector<std::string> site_packages;
};

// Loads ONNX Runtime on first call (thread-safe) and hands out the
// process-wide state. When it cannot be loaded, records why and answers
// REGDB_E_CLASSNOTREG on this and every later call.
HRESULT load_onnxruntime(const onnxruntime** loaded) noexcept;

// The state of an ONNX Runtime already loaded (load_onnxruntime succeeded).
const onnxruntime& loaded_onnxruntime() noexcept;

// Whether load_onnxruntime has been called, and if it failed, why (else "").
bool onnxruntime_load_attempted() noexcept;
const std::string& onnxruntime_load_failure() noexcept;

// For tests: load ONNX Runtime from this file instead of searching. Only has
// an effect before the first load.
void use_onnxruntime_library_for_tests(std::string path);

}  // namespace runtime
