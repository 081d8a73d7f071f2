// ONNX Runtime's C++ API, over the library the runtime loads at run time:
// its wrappers call through the OrtApi table negotiated when the library was
// loaded (onnxruntime_library.cpp hands it to Ort::InitApi), so nothing links
// against ONNX Runtime. Runtime code includes this, never the header itself.
#pragma once

#ifndef ORT_API_MANUAL_INIT
#define ORT_API_MANUAL_INIT
#endif
#include <onnxruntime_cxx_api.h>

#include <string>
#include <string_view>
#include <utility>

#include "com/boundary.h"

namespace runtime {

// The status code for an ONNX Runtime error code and message.
HRESULT hresult_from_ort(OrtErrorCode code, std::string_view message) noexcept;

// Runs `body`; an ONNX Runtime failure in it is thrown on as a
// runtime_failure with its status code and "<context>: <ONNX Runtime's
// message>", which the boundary records (at_boundary). `context` is text or
// a callable that makes it (message_text).
template <class Context, class Body>
decltype(auto) with_context(Context&& context, Body&& body) {
    try {
        return body();
    } catch (const Ort::Exception& error) {
        std::string message = message_text(std::forward<Context>(context));
        message += ": ";
        message += error.what();
        throw runtime_failure(hresult_from_ort(error.GetOrtErrorCode(), error.what()), std::move(message));
    }
}

}  // namespace runtime
