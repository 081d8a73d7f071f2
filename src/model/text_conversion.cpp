#include "model/text_conversion.h"

#include <cstdint>
#include <stdexcept>

#include "win32.h"

namespace qelmo {

std::string to_utf8(std::u16string_view text) {
    if (text.empty()) return {};
    // The conversion API counts in int; a longer length would wrap negative
    // and be read as "up to the NUL", past the end of the view.
    if (text.size() > static_cast<size_t>(INT32_MAX)) throw std::length_error("text too long to convert to UTF-8");
    const int length = static_cast<int>(text.size());

    const int needed =
        platform::WideCharToMultiByte(platform::CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    // Non-empty text only fails when its UTF-8 form does not fit an int;
    // answering "" then would silently lose the text.
    if (needed <= 0) throw std::length_error("text too long to convert to UTF-8");

    std::string result(static_cast<size_t>(needed), '?');
    platform::WideCharToMultiByte(platform::CP_UTF8, 0, text.data(), length, result.data(), needed, nullptr,
                                  nullptr);
    return result;
}

}  // namespace qelmo
