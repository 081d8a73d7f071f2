// ONNX Runtime, loaded at run time through its C API. Everything here is
// process-wide and made once: the library handle, the OrtApi table, the
// environment (with a logger that keeps ONNX Runtime off stderr) and the CPU
// memory description. None of it is ever released, so nothing touches ONNX
// Runtime from static destructors at process exit.
#pragma once

#include <onnxruntime_c_api.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "abi/unknown.h"

namespace runtime {

struct onnxruntime {
    const OrtApi* api = nullptr;
    uint32_t api_version = 0;             // the C API version negotiated with the library
    OrtEnv* env = nullptr;
    OrtMemoryInfo* cpu_memory = nullptr;  // for tensors over our own storage
    bool shared_thread_pool = false;      // sessions must disable their own pools
};

// Loads ONNX Runtime on first call (thread-safe) and hands out the
// process-wide state. When it cannot be loaded, records why and answers
// REGDB_E_CLASSNOTREG on this and every later call.
mlabi::HRESULT load_onnxruntime(const onnxruntime** loaded) noexcept;

// The OrtApi table; only valid once load_onnxruntime has succeeded.
const OrtApi& ort() noexcept;

// Whether the loaded ONNX Runtime can run sessions on a GPU (probed once by
// appending the CUDA execution provider to throwaway session options).
bool onnxruntime_offers_gpu() noexcept;

// Turns an OrtStatus into a status code, releasing it. Null (success) gives
// S_OK; a failure records "<context>: <ONNX Runtime's message>".
mlabi::HRESULT check_ort(OrtStatus* status, std::string_view context) noexcept;

// The status code for an ONNX Runtime error code and message.
mlabi::HRESULT hresult_from_ort(OrtErrorCode code, std::string_view message) noexcept;

// For tests: load ONNX Runtime from this file instead of searching. Only has
// an effect before the first load.
void use_onnxruntime_library_for_tests(std::string path);

}  // namespace runtime
