#include "win32.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "abi_support/utf16_to_utf8.h"

namespace qelmo::platform {
namespace {

enum class apartment : uint8_t { none, multi_threaded, single_threaded };

thread_local apartment thread_apartment = apartment::none;

}  // namespace

mlabi::HRESULT CoInitializeEx(void*, uint32_t flags) {
    const apartment wanted = (flags & COINIT_APARTMENTTHREADED) ? apartment::single_threaded : apartment::multi_threaded;
    if (thread_apartment == apartment::none) {
        thread_apartment = wanted;
        return mlabi::S_OK;
    }
    return thread_apartment == wanted ? mlabi::S_FALSE : mlabi::RPC_E_CHANGED_MODE;
}

int WideCharToMultiByte(uint32_t code_page, uint32_t, const char16_t* source, int source_length, char* destination,
                        int destination_size, const char*, bool* used_default) {
    if (used_default != nullptr) *used_default = false;
    if (code_page != CP_UTF8 || source == nullptr || destination_size < 0) return 0;
    if (source_length < 0) {
        source_length = 0;
        while (source[source_length] != 0) ++source_length;
        ++source_length;  // the NUL is converted too
    }
    const std::u16string_view text(source, static_cast<size_t>(source_length));
    const size_t needed = mlabi::utf8_length(text);
    if (needed > INT32_MAX) return 0;
    if (destination_size == 0) return static_cast<int>(needed);
    if (destination == nullptr || static_cast<size_t>(destination_size) < needed) return 0;
    mlabi::write_utf8(text, destination);
    return static_cast<int>(needed);
}

}  // namespace qelmo::platform
