// ONNX Runtime, loaded at run time. Everything here is process-wide and made
// once: the library handle, the negotiated API (handed to the C++ API), the
// environment (with a logger that keeps ONNX Runtime off stderr and one
// thread pool for every session) and the CPU memory description. None of it
// is ever released, so nothing touches ONNX Runtime from static destructors
// at process exit.
#pragma once

#include <cstdint>
#include <string>

#include "onnxruntime_api.h"

namespace runtime {

struct onnxruntime {
    Ort::Env* env = nullptr;
    Ort::MemoryInfo* cpu_memory = nullptr;  // for tensors over our own storage
    bool shared_thread_pool = false;        // sessions must disable their own pools
    uint32_t api_version = 0;               // the C API version negotiated with the library
};

// Loads ONNX Runtime on first call (thread-safe) and hands out the
// process-wide state. When it cannot be loaded, records why and answers
// REGDB_E_CLASSNOTREG on this and every later call.
HRESULT load_onnxruntime(const onnxruntime** loaded) noexcept;

// The state of an ONNX Runtime already loaded (load_onnxruntime succeeded).
const onnxruntime& loaded_onnxruntime() noexcept;

// Whether the loaded ONNX Runtime can run sessions on a GPU (probed once by
// appending the CUDA execution provider to throwaway session options).
bool onnxruntime_offers_gpu() noexcept;

// For tests: load ONNX Runtime from this file instead of searching. Only has
// an effect before the first load.
void use_onnxruntime_library_for_tests(std::string path);

}  // namespace runtime
