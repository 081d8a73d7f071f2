// QelmoRuntimeReport: what this runtime loaded and where its sessions run,
// as JSON, for tools (qelmo's command-line tool reads it through ctypes).
// Everything it says comes from the runtime's own records, so a report never
// disagrees with what the runtime did.
#include <cstdio>
#include <string>
#include <string_view>

#include "classes/session_placement.h"
#include "com/error_info.h"
#include "onnxruntime/gpu_probe.h"
#include "onnxruntime/onnxruntime_library.h"

namespace runtime {
namespace {

std::string json_string(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\t': quoted += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                    quoted += escaped;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

const char* json_bool(bool value) { return value ? "true" : "false"; }

std::string onnxruntime_part(bool load) {
    if (load) {
        const onnxruntime* loaded = nullptr;
        if (failed(load_onnxruntime(&loaded))) clear_error();
    }
    if (!onnxruntime_load_attempted()) return "{\"loaded\": false}";
    const std::string& failure = onnxruntime_load_failure();
    if (!failure.empty()) return "{\"loaded\": false, \"error\": " + json_string(failure) + "}";
    const onnxruntime& loaded = loaded_onnxruntime();
    std::string part = "{\"loaded\": true, \"library\": " + json_string(loaded.library_path) +
                       ", \"version\": " + json_string(loaded.version) +
                       ", \"api_version\": " + std::to_string(loaded.api_version) +
                       ", \"intra_op_threads\": " + std::to_string(loaded.intra_op_threads) + ", \"gpu_package\": ";
    if (loaded.gpu_package_library.empty()) return part + "null}";
    return part + "{\"version\": " + json_string(loaded.gpu_package_version) +
           ", \"library\": " + json_string(loaded.gpu_package_library) + "}}";
}

std::string gpu_part() {
    if (!gpu_probed()) return "{\"probed\": false}";
    const gpu_availability& gpu = probe_gpu();
    return std::string("{\"probed\": true, \"usable\": ") + json_bool(gpu.usable) +
           ", \"reason\": " + json_string(gpu.reason) + "}";
}

std::string session_part() {
    session_placement last;
    if (!last_session_placement(last)) return "null";
    return std::string("{\"requested\": ") + (last.requested_gpu ? "\"gpu\"" : "\"cpu\"") +
           ", \"used\": " + (last.on_gpu ? "\"gpu\"" : "\"cpu\"") + ", \"reason\": " + json_string(last.reason) +
           ", \"outputs\": " + (last.page_locked_outputs ? "\"page-locked\"" : "\"ordinary\"") + "}";
}

}  // namespace
}  // namespace runtime

// The report as UTF-8 JSON: {"onnxruntime": {...}, "gpu": {...},
// "last_session": {...} or null}. With `load` nonzero ONNX Runtime is loaded
// first (never the GPU). The text stays valid until the calling thread calls
// again; null only when memory runs out.
extern "C" __attribute__((visibility("default"))) const char* QelmoRuntimeReport(int load) {
    using namespace runtime;
    static thread_local std::string report;
    try {
        report = "{\"onnxruntime\": " + onnxruntime_part(load != 0) + ", \"gpu\": " + gpu_part() +
                 ", \"last_session\": " + session_part() + "}";
        return report.c_str();
    } catch (...) {
        return nullptr;
    }
}
