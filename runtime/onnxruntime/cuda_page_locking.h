// Page-locking for the runtime's big buffers (memory/page_locking.h) from the
// CUDA runtime that ONNX Runtime's CUDA provider loaded: the same library,
// found by the name the provider asks for, so that memory is locked for the
// driver and the context the provider uses.
#pragma once

#include <string>

namespace runtime {

// Enables page-locking once the provider at `provider` has been loaded; does
// nothing when its CUDA runtime cannot be found among the loaded libraries.
void enable_cuda_page_locking(const std::string& provider) noexcept;

}  // namespace runtime
