// Where a session's outputs are put. ONNX Runtime puts a GPU session's
// outputs in ordinary host memory, which the GPU writes at pageable speed:
// the driver stages every copy through a page-locked buffer of its own.
// Page-locked memory from the CUDA provider's own allocator is written
// directly and several times faster, and the provider's arena keeps those
// buffers from one evaluation to the next, so none is faulted in afresh.
#pragma once

#include <cstddef>

#include "onnxruntime/onnxruntime_api.h"

namespace runtime {

// Outputs smaller than this in all are left to ONNX Runtime: a copy of a few
// kilobytes takes about as long from either memory, and binding them costs
// a few microseconds more per evaluation.
constexpr size_t page_locked_output_minimum = size_t{64} << 10;

// Page-locked host memory for every output of `session`, or an empty
// MemoryInfo where ONNX Runtime's allocation serves: the session has no
// allocator for it (a CPU session, a build without CUDA) or an output could
// not live there (strings, sequences, maps).
Ort::MemoryInfo page_locked_output_memory(Ort::Session& session) noexcept;

}  // namespace runtime
