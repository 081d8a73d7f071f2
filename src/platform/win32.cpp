#include "win32.h"

#include <cstring>

namespace qelmo::platform {
namespace {

enum class apartment : uint8_t { none, multi_threaded, single_threaded };

thread_local apartment thread_apartment = apartment::none;

// Decodes one code point at `i`, advancing it; an unpaired surrogate is U+FFFD.
char32_t next_code_point(const char16_t* text, int length, int& i) {
    char32_t c = text[i++];
    if (c >= 0xD800 && c <= 0xDBFF) {
        if (i < length && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
            return 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00);
        }
        return 0xFFFD;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return 0xFFFD;
    return c;
}

int encoded_size(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

void encode(char32_t c, char* out) {
    switch (encoded_size(c)) {
        case 1: out[0] = static_cast<char>(c); break;
        case 2:
            out[0] = static_cast<char>(0xC0 | (c >> 6));
            out[1] = static_cast<char>(0x80 | (c & 0x3F));
            break;
        case 3:
            out[0] = static_cast<char>(0xE0 | (c >> 12));
            out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<char>(0x80 | (c & 0x3F));
            break;
        default:
            out[0] = static_cast<char>(0xF0 | (c >> 18));
            out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<char>(0x80 | (c & 0x3F));
    }
}

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
    int needed = 0;
    for (int i = 0; i < source_length;) {
        const int size = encoded_size(next_code_point(source, source_length, i));
        if (needed > INT32_MAX - size) return 0;
        needed += size;
    }
    if (destination_size == 0) return needed;
    if (destination == nullptr || destination_size < needed) return 0;
    int written = 0;
    for (int i = 0; i < source_length;) {
        const char32_t c = next_code_point(source, source_length, i);
        encode(c, destination + written);
        written += encoded_size(c);
    }
    return written;
}

}  // namespace qelmo::platform
