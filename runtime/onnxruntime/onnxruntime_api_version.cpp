#include "onnxruntime/onnxruntime_api_version.h"

#include <algorithm>
#include <cstdlib>

namespace runtime {
namespace {

// The API version a library of version "1.M.P" offers is M (the C API's
// version follows the minor release number); 0 when the text says otherwise.
uint32_t api_version_of_release(const std::string& release) {
    if (release.compare(0, 2, "1.") != 0) return 0;
    const char* minor = release.c_str() + 2;
    if (*minor < '0' || *minor > '9') return 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(minor, &end, 10);
    if (*end != '.' && *end != '\0') return 0;
    return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
}

}  // namespace

negotiated_api negotiate_onnxruntime_api(const OrtApiBase& base, uint32_t newest, uint32_t oldest) {
    negotiated_api result;
    const char* release = base.GetVersionString != nullptr ? base.GetVersionString() : nullptr;
    result.library_version = release != nullptr ? release : "unknown";
    if (const uint32_t offered = api_version_of_release(result.library_version); offered != 0) {
        newest = std::min(newest, offered);
    }
    for (uint32_t version = newest; version >= oldest && version != 0; --version) {
        if (const OrtApi* api = base.GetApi(version)) {
            result.api = api;
            result.version = version;
            return result;
        }
    }
    result.version = newest < oldest ? newest : 0;
    return result;
}

std::string unsupported_api_message(const negotiated_api& attempt, uint32_t oldest) {
    std::string message = "the ONNX Runtime library found (version " + attempt.library_version + ") ";
    message += attempt.version != 0 ? "offers C API version " + std::to_string(attempt.version)
                                    : std::string("offers no C API version qelmo can use");
    return message + "; qelmo needs version " + std::to_string(oldest) +
           " or newer (ONNX Runtime 1." + std::to_string(oldest) + " or newer)";
}

}  // namespace runtime
