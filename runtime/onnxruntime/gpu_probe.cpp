#include "onnxruntime/gpu_probe.h"

#include <dlfcn.h>

#include <atomic>
#include <string>

#include "onnxruntime/cuda_libraries.h"
#include "onnxruntime/cuda_page_locking.h"
#include "onnxruntime/folders.h"
#include "onnxruntime/onnxruntime_library.h"

namespace runtime {
namespace {

constexpr const char* cuda_provider = "CUDAExecutionProvider";
constexpr const char* provider_file = "libonnxruntime_providers_cuda.so";
constexpr const char* reinstall_hint = "pip install --force-reinstall --no-deps onnxruntime-gpu==";

bool lists_cuda_provider() {
    try {
        for (const std::string& provider : Ort::GetAvailableProviders()) {
            if (provider == cuda_provider) return true;
        }
    } catch (...) {
    }
    return false;
}

std::string describe(const onnxruntime& loaded) { return "ONNX Runtime " + loaded.version + " (" + loaded.library_path + ")"; }

// Why the loaded ONNX Runtime offers no CUDA provider.
std::string no_provider_reason(const onnxruntime& loaded) {
    if (loaded.gpu_package_library.empty()) {
        return describe(loaded) + " has no CUDA provider (GPU sessions need qelmo-gpu, installed in place of qelmo)";
    }
    if (loaded.library_path == loaded.gpu_package_library) {
        // Both packages install this file name; the CPU package's copy came last.
        return "the onnxruntime-gpu " + loaded.gpu_package_version + " library (" + loaded.library_path +
               ") was overwritten by the onnxruntime package's CPU build of the same name; reinstall it: " +
               reinstall_hint + loaded.gpu_package_version;
    }
    return "the onnxruntime-gpu " + loaded.gpu_package_version + " library (" + loaded.gpu_package_library +
           ") is missing, so " + describe(loaded) + " was loaded, which has no CUDA provider; reinstall it: " +
           reinstall_hint + loaded.gpu_package_version;
}

// The driver's answer to "is there a GPU": "" when there is one.
std::string device_reason(void* driver) {
    using cu_init = int (*)(unsigned int);
    using cu_device_count = int (*)(int*);
    auto init = reinterpret_cast<cu_init>(dlsym(driver, "cuInit"));
    auto count = reinterpret_cast<cu_device_count>(dlsym(driver, "cuDeviceGetCount"));
    if (init == nullptr || count == nullptr) return "the NVIDIA driver library (libcuda.so.1) lacks cuInit";
    if (int status = init(0); status != 0) {
        // 100: CUDA_ERROR_NO_DEVICE; 35: CUDA_ERROR_INSUFFICIENT_DRIVER.
        if (status == 100) return "no NVIDIA GPU found (the driver reports no device)";
        return "the NVIDIA driver did not start (cuInit error " + std::to_string(status) + ")";
    }
    int devices = 0;
    if (count(&devices) != 0 || devices <= 0) return "no NVIDIA GPU found (the driver reports no device)";
    return {};
}

gpu_availability probe(const onnxruntime& loaded) {
    if (!lists_cuda_provider()) return {false, no_provider_reason(loaded)};
    const std::string provider = folder_of(loaded.library_path) + "/" + provider_file;

    void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_GLOBAL);
    if (driver == nullptr) return {false, "no NVIDIA driver (libcuda.so.1 could not be loaded)"};

    const std::string missing = load_provider_dependencies(provider, loaded.site_packages);
    if (!missing.empty()) {
        return {false, "the CUDA provider needs " + missing +
                           ", found neither by the system's loader nor in NVIDIA's pip packages (install the CUDA and "
                           "cuDNN versions that onnxruntime-gpu " + loaded.version +
                           " was built for, or: pip install onnxruntime-gpu[cuda,cudnn])"};
    }
    if (std::string why = device_reason(driver); !why.empty()) return {false, why};

    try {
        Ort::SessionOptions options;
        options.AppendExecutionProvider_CUDA(OrtCUDAProviderOptions{});
    } catch (const Ort::Exception& error) {
        return {false, std::string("the CUDA provider could not be loaded: ") + error.what()};
    } catch (...) {
        return {false, "the CUDA provider could not be loaded"};
    }
    enable_cuda_page_locking(provider);
    return {true, {}};
}

std::atomic<bool> probed{false};

}  // namespace

const gpu_availability& probe_gpu() noexcept {
    static const gpu_availability* result = [] {
        try {
            auto* made = new gpu_availability(probe(loaded_onnxruntime()));
            probed.store(true);
            return made;
        } catch (...) {
            static gpu_availability out_of_memory{false, "out of memory probing the GPU"};
            return &out_of_memory;
        }
    }();
    return *result;
}

bool gpu_probed() noexcept { return probed.load(); }

}  // namespace runtime
