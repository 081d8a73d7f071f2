// Text taken from a model, quoted in a message: cut short when long, and
// only between whole UTF-8 characters, so that the message stays valid text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace runtime {

inline std::string quoted_text(std::string_view text, size_t longest) {
    if (text.size() <= longest) return "'" + std::string(text) + "'";
    size_t cut = longest;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return "'" + std::string(text.substr(0, cut)) + "...'";
}

}  // namespace runtime
