#include "onnxruntime/onnxruntime_library.h"

#include <dlfcn.h>
#include <limits.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "com/error_info.h"
#include "onnxruntime/onnxruntime_api_version.h"
#include "onnxruntime/onnxruntime_location.h"
#include "onnxruntime/onnxruntime_log.h"
#include "onnxruntime/process_cpus.h"

namespace runtime {
namespace {

std::string& library_override() {
    static std::string* path = new std::string;
    return *path;
}

// The libraries to try, best first: the installed packages' (found from
// where qelmo is installed), then whatever the system's loader finds.
onnxruntime_candidates library_candidates() {
    onnxruntime_candidates found;
    if (!library_override().empty()) {
        found.paths.push_back(library_override());
        return found;
    }
    const std::string own_folder = runtime_library_folder();
    char site_packages[PATH_MAX];
    if (!own_folder.empty() && ::realpath((own_folder + "/..").c_str(), site_packages) != nullptr) {
        found = onnxruntime_libraries_in(site_packages);
    }
    found.paths.emplace_back("libonnxruntime.so.1");
    return found;
}

// ONNX Runtime's official builds record a device identifier and queue usage
// events for upload under ~/.cache from the moment an environment exists,
// unless this variable is set. qelmo writes nothing and sends nothing, so it
// is set before the library is loaded. Setting a variable races with threads
// reading the environment; this runs once, on the first load, inside a call
// into the runtime (a Python caller holds its interpreter lock, so no Python
// code runs meanwhile). A value the user set is left as it is.
void keep_telemetry_off() { ::setenv("ORT_DISABLE_TELEMETRY", "1", /*overwrite=*/0); }

struct load_result {
    onnxruntime state;
    HRESULT error = S_OK;
    std::string message;
};

// The first candidate that opens; `opened` names it, `tried` says why the
// others did not.
void* open_library(const std::vector<std::string>& candidates, std::string& opened, std::string& tried) {
    for (const std::string& candidate : candidates) {
        if (void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            opened = candidate;
            return handle;
        }
        const char* why = dlerror();
        tried += tried.empty() ? "" : "; ";
        tried += why != nullptr ? why : candidate;
    }
    return nullptr;
}

// The file behind a handle, as the loader resolved it.
std::string loaded_path(void* handle, const std::string& fallback) {
    Dl_info info{};
    auto symbol = dlsym(handle, "OrtGetApiBase");
    if (symbol != nullptr && dladdr(symbol, &info) != 0 && info.dli_fname != nullptr) return info.dli_fname;
    return fallback;
}

// The folders that hold Python packages: the one above the library's
// onnxruntime/capi/, and the one qelmo is installed in.
std::vector<std::string> site_packages_folders(const std::string& library_path) {
    std::vector<std::string> folders;
    auto add = [&](const std::string& folder) {
        char resolved[PATH_MAX];
        if (::realpath(folder.c_str(), resolved) == nullptr) return;
        if (std::find(folders.begin(), folders.end(), resolved) == folders.end()) folders.emplace_back(resolved);
    };
    const size_t slash = library_path.rfind('/');
    if (slash != std::string::npos) add(library_path.substr(0, slash) + "/../..");
    const std::string own_folder = runtime_library_folder();
    if (!own_folder.empty()) add(own_folder + "/..");
    return folders;
}

// One intra-op pool for every session, one thread per core whatever the
// number of sessions (per-session pools start threads for every session:
// 40 sessions, 43 threads against 5). Its workers spin briefly after their
// work before they sleep: without that, waking them costs tens of
// microseconds per parallel section, which made a 512-wide MLP at batch 1
// twice as slow and a small convolution half as slow again on an idle
// machine. Spinning is bounded, so a worker with no work soon sleeps.
// The pool has a thread per core the process may run on (process_cpus.h).
constexpr bool use_shared_thread_pool = true;

Ort::Env* create_environment(int intra_op_threads) {
    // ONNX Runtime writes to stderr unless it is given a logger of its own.
    std::unique_ptr<Ort::Env> env;
    if (!use_shared_thread_pool) {
        env = std::make_unique<Ort::Env>(onnxruntime_log_level, "qelmo", &onnxruntime_log, nullptr);
    } else {
        Ort::ThreadingOptions threading;
        threading.SetGlobalSpinControl(1);
        if (intra_op_threads > 0) threading.SetGlobalIntraOpNumThreads(intra_op_threads);
        env = std::make_unique<Ort::Env>(threading, &onnxruntime_log, nullptr, onnxruntime_log_level, "qelmo");
    }
    // Builds that read no variable still honour the call.
    env->DisableTelemetryEvents();
    return env.release();
}

// Opens the library and negotiates its API; false (with the reason in
// `result`) when it cannot be used.
bool open_api(load_result& result) {
    keep_telemetry_off();
    const onnxruntime_candidates candidates = library_candidates();
    std::string opened;
    std::string tried;
    void* handle = open_library(candidates.paths, opened, tried);
    if (handle == nullptr) {
        result.error = REGDB_E_CLASSNOTREG;
        result.message = "ONNX Runtime could not be loaded (install the onnxruntime package): " + tried;
        return false;
    }
    using get_api_base = const OrtApiBase* (*)();
    auto base_function = reinterpret_cast<get_api_base>(dlsym(handle, "OrtGetApiBase"));
    const OrtApiBase* base = base_function != nullptr ? base_function() : nullptr;
    if (base == nullptr) {
        result.error = REGDB_E_CLASSNOTREG;
        result.message = "the library found is not ONNX Runtime (no OrtGetApiBase): " + opened;
        return false;
    }
    const negotiated_api negotiated = negotiate_onnxruntime_api(*base);
    if (negotiated.api == nullptr) {
        // The handle stays open: a library we could not use is harmless.
        result.error = REGDB_E_CLASSNOTREG;
        result.message = unsupported_api_message(negotiated) + ": " + opened;
        return false;
    }
    Ort::InitApi(negotiated.api);
    result.state.api_version = negotiated.version;
    result.state.version = negotiated.library_version;
    result.state.library_path = loaded_path(handle, opened);
    result.state.gpu_package_version = candidates.gpu_package_version;
    result.state.gpu_package_library = candidates.gpu_package_library;
    result.state.site_packages = site_packages_folders(result.state.library_path);
    return true;
}

load_result load() {
    load_result result;
    if (!open_api(result)) return result;
    try {
        const int intra_op_threads = use_shared_thread_pool ? intra_op_threads_for_process() : 0;
        result.state.env = with_context("creating the ONNX Runtime environment failed",
                                        [&] { return create_environment(intra_op_threads); });
        result.state.intra_op_threads = intra_op_threads;
        result.state.cpu_memory = with_context("describing CPU memory to ONNX Runtime failed", [] {
            return new Ort::MemoryInfo(Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault));
        });
    } catch (const runtime_failure& failure) {
        result.error = failure.status();
        result.message = failure.message();
        return result;
    }
    result.state.shared_thread_pool = use_shared_thread_pool;
    return result;
}

// Made on first use and intentionally never destroyed.
std::atomic<bool> load_attempted{false};

const load_result& loaded_once() {
    load_attempted.store(true, std::memory_order_relaxed);
    static const load_result* result = [] {
        try {
            return new load_result(load());
        } catch (...) {
            static load_result out_of_memory{{}, E_OUTOFMEMORY, "out of memory loading ONNX Runtime"};
            return &out_of_memory;
        }
    }();
    return *result;
}

}  // namespace

HRESULT load_onnxruntime(const onnxruntime** loaded) noexcept {
    *loaded = nullptr;
    const load_result& result = loaded_once();
    if (result.error != S_OK) return fail(result.error, result.message);
    *loaded = &result.state;
    return S_OK;
}

const onnxruntime& loaded_onnxruntime() noexcept { return loaded_once().state; }

bool onnxruntime_load_attempted() noexcept { return load_attempted.load(std::memory_order_relaxed); }

const std::string& onnxruntime_load_failure() noexcept { return loaded_once().message; }

HRESULT hresult_from_ort(OrtErrorCode code, std::string_view message) noexcept {
    switch (code) {
        case ORT_INVALID_ARGUMENT: return E_INVALIDARG;
        case ORT_NO_SUCHFILE: return E_FILE_NOT_FOUND;
        default: break;
    }
    // ONNX Runtime has no code of its own for exhausted memory.
    if (message.find("bad_alloc") != std::string_view::npos ||
        message.find("Failed to allocate memory") != std::string_view::npos) {
        return E_OUTOFMEMORY;
    }
    return E_FAIL;
}

void use_onnxruntime_library_for_tests(std::string path) { library_override() = std::move(path); }

}  // namespace runtime
