// UTF-8 and UTF-16 conversions for text crossing the ABI.
#pragma once

#include <string>
#include <string_view>

namespace runtime {

// Invalid input (bad bytes, unpaired surrogates) becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

}  // namespace runtime
