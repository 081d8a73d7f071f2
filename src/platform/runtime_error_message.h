// The readable message the runtime recorded for the failure it just reported
// on the calling thread.
#pragma once

#include <memory>
#include <string>

#include "abi/unknown.h"

namespace qelmo::platform {

// Reads (and so clears) the calling thread's error record in the runtime and
// returns its message as UTF-8 when it was recorded for `code`; null when the
// runtime offers none, recorded it for another code (a stale record), or
// reading it fails. Never throws: it runs while an error is being raised.
std::shared_ptr<const std::string> take_runtime_error_message(mlabi::HRESULT code) noexcept;

}  // namespace qelmo::platform
