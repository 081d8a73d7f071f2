// ONNX Runtime's log. Nothing of it reaches the terminal; the warnings that
// ONNX Runtime logs on a thread while that thread makes a session are kept,
// so that a session that cannot be made says what ONNX Runtime said about it
// (often the remedy, such as upgrading the model's opset).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "onnxruntime/onnxruntime_api.h"

namespace runtime {

// The environment's level: warnings reach onnxruntime_log; ONNX Runtime
// formats nothing below it. Evaluations of a working session log nothing.
constexpr OrtLoggingLevel onnxruntime_log_level = ORT_LOGGING_LEVEL_WARNING;

// The logging function given to the environment.
void onnxruntime_log(void* param, OrtLoggingLevel severity, const char* category, const char* logid,
                     const char* code_location, const char* message);

// Keeps the warnings that ONNX Runtime logs on this thread while it lives,
// a few lines of a few hundred characters at most.
class logged_warnings {
public:
    static constexpr size_t max_lines = 4;
    static constexpr size_t max_line_length = 400;

    logged_warnings() noexcept;
    ~logged_warnings();
    logged_warnings(const logged_warnings&) = delete;
    logged_warnings& operator=(const logged_warnings&) = delete;

    // `message` followed by one line per warning kept, and how many were not.
    std::string appended_to(std::string message) const;

    // Called by onnxruntime_log.
    void keep(const char* message) noexcept;

private:
    logged_warnings* outer_;
    std::vector<std::string> lines_;
    size_t dropped_ = 0;
};

// Runs `body` with this thread's warnings kept; a failure it throws is
// thrown on with the warnings appended to its message.
template <class Body>
decltype(auto) with_logged_warnings(Body&& body) {
    logged_warnings warnings;
    try {
        return std::forward<Body>(body)();
    } catch (const runtime_failure& failure) {
        throw runtime_failure(failure.status(), warnings.appended_to(failure.message()));
    }
}

}  // namespace runtime
