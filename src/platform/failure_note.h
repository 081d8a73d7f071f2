// The one line a platform failure adds to its Python exception, so that the
// user sees what went wrong beyond the fixed exception text.
#pragma once

#include <string>

#include "platform_error.h"

namespace qelmo::platform {

// "status 0x80070057: input 'x': shape [2, 3] does not match the model's
// [1, 3]": the code in hexadecimal, then the runtime's message, or a short
// description of well-known codes when the runtime recorded none.
std::string failure_note(const hresult_error& error);

}  // namespace qelmo::platform
