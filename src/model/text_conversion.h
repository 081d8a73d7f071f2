// UTF-16 text from the runtime as UTF-8 for Python.
#pragma once

#include <string>
#include <string_view>

namespace qelmo {

// Converts every code unit, embedded NULs included; an unpaired surrogate
// becomes U+FFFD, so the result is always valid UTF-8. Throws
// std::length_error for text too long for the 32-bit conversion API.
std::string to_utf8(std::u16string_view text);

}  // namespace qelmo
