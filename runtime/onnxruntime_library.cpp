#include "onnxruntime_library.h"

#include <dirent.h>
#include <dlfcn.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "error_info.h"
#include "onnxruntime_api_version.h"
#include "onnxruntime_log.h"

namespace runtime {
namespace {

std::string& library_override() {
    static std::string* path = new std::string;
    return *path;
}

// The version numbers after "libonnxruntime.so.", e.g. {1, 32, 0}; empty when
// the name has another form.
std::vector<unsigned long> library_version(const std::string& name) {
    static constexpr std::string_view prefix = "libonnxruntime.so.";
    std::vector<unsigned long> version;
    if (name.compare(0, prefix.size(), prefix) != 0) return version;
    const char* p = name.c_str() + prefix.size();
    while (*p != '\0') {
        if (*p < '0' || *p > '9') return {};
        char* end = nullptr;
        version.push_back(std::strtoul(p, &end, 10));
        p = end;
        if (*p == '.') ++p;
        else if (*p != '\0') return {};
    }
    return version;
}

// The runtime is installed as <site-packages>/qelmo.libs/<this library>; the
// onnxruntime wheel puts its library in <site-packages>/onnxruntime/capi/.
std::string library_beside_python_package() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&onnxruntime_log), &info) == 0 || info.dli_fname == nullptr) return {};
    std::string own = info.dli_fname;
    const size_t slash = own.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : own.substr(0, slash);
    const std::string capi = dir + "/../onnxruntime/capi/";

    DIR* listing = opendir(capi.c_str());
    if (listing == nullptr) return {};
    std::string best_name;
    std::vector<unsigned long> best_version;
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        std::vector<unsigned long> version = library_version(name);
        if (version.empty()) continue;
        if (best_name.empty() || version > best_version) {
            best_name = std::move(name);
            best_version = std::move(version);
        }
    }
    closedir(listing);
    return best_name.empty() ? std::string() : capi + best_name;
}

struct load_result {
    onnxruntime state;
    bool offers_gpu = false;
    HRESULT error = S_OK;
    std::string message;
};

// The first candidate that opens; `opened` names it, `tried` says why the
// others did not.
void* open_library(std::string& opened, std::string& tried) {
    std::vector<std::string> candidates;
    if (!library_override().empty()) {
        candidates.push_back(library_override());
    } else {
        std::string beside = library_beside_python_package();
        if (!beside.empty()) candidates.push_back(std::move(beside));
        candidates.emplace_back("libonnxruntime.so.1");
    }
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

// Asked in every process that loads ONNX Runtime. A library without the
// CUDA provider throws inside itself when asked to append it, and a process
// whose C++ runtime a preloaded sanitizer intercepts cannot always throw; the
// list of providers answers that case quietly. A listed provider may still
// fail to append (its libraries missing): that is the real test.
bool probe_gpu() noexcept {
    try {
        bool listed = false;
        for (const std::string& provider : Ort::GetAvailableProviders()) listed = listed || provider == "CUDAExecutionProvider";
        if (!listed) return false;
        Ort::SessionOptions options;
        options.AppendExecutionProvider_CUDA(OrtCUDAProviderOptions{});
        return true;
    } catch (...) {
        return false;
    }
}

// One intra-op pool for every session, one thread per core whatever the
// number of sessions (per-session pools start threads for every session:
// 40 sessions, 43 threads against 5). Its workers spin briefly after their
// work before they sleep: without that, waking them costs tens of
// microseconds per parallel section, which made a 512-wide MLP at batch 1
// twice as slow and a small convolution half as slow again on an idle
// machine. Spinning is bounded, so a worker with no work soon sleeps.
constexpr bool use_shared_thread_pool = true;

Ort::Env* create_environment() {
    // ONNX Runtime writes to stderr unless it is given a logger of its own.
    if (!use_shared_thread_pool) return new Ort::Env(onnxruntime_log_level, "qelmo", &onnxruntime_log, nullptr);
    Ort::ThreadingOptions threading;
    threading.SetGlobalSpinControl(1);
    return new Ort::Env(threading, &onnxruntime_log, nullptr, onnxruntime_log_level, "qelmo");
}

// Opens the library and negotiates its API; false (with the reason in
// `result`) when it cannot be used.
bool open_api(load_result& result) {
    std::string opened;
    std::string tried;
    void* handle = open_library(opened, tried);
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
    return true;
}

load_result load() {
    load_result result;
    if (!open_api(result)) return result;
    try {
        result.state.env = with_context("creating the ONNX Runtime environment failed", create_environment);
        result.state.cpu_memory = with_context("describing CPU memory to ONNX Runtime failed", [] {
            return new Ort::MemoryInfo(Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault));
        });
    } catch (const runtime_failure& failure) {
        result.error = failure.status();
        result.message = failure.message();
        return result;
    }
    result.state.shared_thread_pool = use_shared_thread_pool;
    result.offers_gpu = probe_gpu();
    return result;
}

// Made on first use and intentionally never destroyed.
const load_result& loaded_once() {
    static const load_result* result = [] {
        try {
            return new load_result(load());
        } catch (...) {
            static load_result out_of_memory{{}, false, E_OUTOFMEMORY, "out of memory loading ONNX Runtime"};
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

bool onnxruntime_offers_gpu() noexcept { return loaded_once().offers_gpu; }

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
