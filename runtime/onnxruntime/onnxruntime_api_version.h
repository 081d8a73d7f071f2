// Which version of ONNX Runtime's C API to use. The OrtApi table only ever
// grows, so an older library's table is a prefix of the one the headers
// describe: the runtime asks for the newest version the headers know and
// steps down to the oldest one whose functions it calls.
#pragma once

#include <onnxruntime_c_api.h>

#include <cstdint>
#include <string>

namespace runtime {

// The newest OrtApi members the runtime calls (itself or through the C++
// API's wrappers) came with version 6: CreateEnvWithCustomLoggerAndGlobalThreadPools
// and SessionOptionsAppendExecutionProvider_CUDA. (A member's version follows
// from its place in the table: version N ends where ONNX Runtime's own
// checks of the table's size say.)
constexpr uint32_t oldest_onnxruntime_api_version = 6;

// AddExternalInitializersFromFilesInMemory came with version 18; it is
// called only where the negotiated version has it.
constexpr uint32_t external_files_in_memory_api_version = 18;

struct negotiated_api {
    const OrtApi* api = nullptr;  // null when no usable version is offered
    uint32_t version = 0;
    std::string library_version;  // as the library reports it, e.g. "1.19.2"
};

// Asks `base` for the newest version from `newest` down to `oldest`. A
// library asked for a version it lacks complains on stderr, so the steps
// start at the library's own minor version when its version string tells it.
negotiated_api negotiate_onnxruntime_api(const OrtApiBase& base, uint32_t newest = ORT_API_VERSION,
                                         uint32_t oldest = oldest_onnxruntime_api_version);

// Why a library was refused: names its version, what it offers and what the
// runtime needs.
std::string unsupported_api_message(const negotiated_api& attempt, uint32_t oldest = oldest_onnxruntime_api_version);

}  // namespace runtime
