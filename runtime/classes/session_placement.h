// Where the sessions of this process run, for reports: the runtime API tells
// a caller its session's device, but tools also want the reason for a
// fallback and which ONNX Runtime ran it (runtime_report.cpp).
#pragma once

#include <string>

namespace runtime {

struct session_placement {
    bool requested_gpu = false;
    bool on_gpu = false;
    std::string reason;  // why a session that asked for the GPU runs on the CPU
    bool page_locked_outputs = false;  // outputs in page-locked host memory (output_memory.h)
};

// Remembers the placement of the session made last in this process.
void record_session_placement(session_placement placement) noexcept;

// The placement of the session made last; false when none was made.
bool last_session_placement(session_placement& placement);

}  // namespace runtime
