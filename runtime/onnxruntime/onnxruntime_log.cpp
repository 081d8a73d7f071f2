#include "onnxruntime/onnxruntime_log.h"

#include <algorithm>
#include <cstring>

namespace runtime {
namespace {

// The innermost logged_warnings alive on this thread, if any.
thread_local logged_warnings* current_warnings = nullptr;

}  // namespace

void onnxruntime_log(void*, OrtLoggingLevel severity, const char*, const char*, const char*, const char* message) {
    if (current_warnings != nullptr && severity >= ORT_LOGGING_LEVEL_WARNING && message != nullptr) {
        current_warnings->keep(message);
    }
}

logged_warnings::logged_warnings() noexcept : outer_(current_warnings) { current_warnings = this; }

logged_warnings::~logged_warnings() { current_warnings = outer_; }

void logged_warnings::keep(const char* message) noexcept {
    try {
        std::string line(message, std::min(std::strlen(message), max_line_length + 1));
        if (line.size() > max_line_length) line.replace(max_line_length - 3, std::string::npos, "...");
        // ONNX Runtime repeats some warnings once per optimization pass.
        if (std::find(lines_.begin(), lines_.end(), line) != lines_.end()) return;
        if (lines_.size() < max_lines) {
            lines_.push_back(std::move(line));
        } else {
            ++dropped_;
        }
    } catch (...) {
        ++dropped_;  // out of memory: the warning is lost, not the failure
    }
}

std::string logged_warnings::appended_to(std::string message) const {
    for (const std::string& line : lines_) message += "\nONNX Runtime warned: " + line;
    if (dropped_ != 0) message += "\n(" + std::to_string(dropped_) + " more warnings not shown)";
    return message;
}

}  // namespace runtime
