// Whether sessions can run on the GPU here, asked once per process and only
// when a GPU device is first made: a process that asks only for the CPU
// loads no CUDA library and makes no CUDA context.
#pragma once

#include <string>

namespace runtime {

struct gpu_availability {
    bool usable = false;
    // Why not, in words for a user; "" when usable.
    std::string reason;
};

// Probes on first call (thread-safe): the loaded ONNX Runtime's CUDA
// provider, the NVIDIA driver, the provider's CUDA libraries (made loadable
// from NVIDIA's pip packages when the loader cannot find them), a device,
// and the provider itself. ONNX Runtime must be loaded.
const gpu_availability& probe_gpu() noexcept;

// Whether probe_gpu has run, for reports that must not start it.
bool gpu_probed() noexcept;

}  // namespace runtime
