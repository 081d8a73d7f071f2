// UTF-8 and UTF-16 conversions for text crossing the ABI.
#pragma once

#include <string>
#include <string_view>

#include "abi_support/utf16_to_utf8.h"

namespace runtime {

// Invalid input (bad bytes, encoded surrogates, overlong forms) becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// The contract's conversion, which the module's follows too: an unpaired
// surrogate becomes U+FFFD.
using mlabi::utf16_to_utf8;

}  // namespace runtime
