// The string handle shared by both binaries. A string is UTF-16 code units
// with an explicit length; the null handle is the empty string.
//
// Two forms share one header layout:
//  - reference: lives on the caller's stack over the caller's own buffer,
//    nothing copied, `release` is null; valid only during the call;
//  - owned: one allocation holding header and characters, made by the binary
//    that hands it out; the receiver releases it with `delete_hstring`, which
//    calls back into the allocating binary through `release`.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

namespace mlabi {

struct hstring_header {
    const char16_t* buffer;  // NUL-terminated, `length` code units before the NUL
    uint32_t length;
    void (*release)(hstring_header*);
};

using HSTRING = hstring_header*;

inline std::u16string_view hstring_view(HSTRING s) {
    if (s == nullptr) return {};
    return {s->buffer, s->length};
}

inline void delete_hstring(HSTRING s) {
    if (s != nullptr && s->release != nullptr) s->release(s);
}

// Reference form over a buffer the caller keeps alive and NUL-terminated.
class hstring_reference {
public:
    hstring_reference(const char16_t* buffer, uint32_t length) : header_{buffer, length, nullptr} {}
    explicit hstring_reference(const std::u16string& s)
        : hstring_reference(s.c_str(), static_cast<uint32_t>(s.size())) {}
    hstring_reference(const hstring_reference&) = delete;
    hstring_reference& operator=(const hstring_reference&) = delete;

    HSTRING get() { return header_.length == 0 ? nullptr : &header_; }

private:
    hstring_header header_;
};

namespace detail {
inline void release_owned_hstring(hstring_header* s) { ::operator delete(static_cast<void*>(s)); }
}  // namespace detail

// Owned form: a copy of `text` in one allocation. Returns E_OUTOFMEMORY-style
// failure as a null result with `ok` false; the empty string is the null handle.
inline bool create_hstring(std::u16string_view text, HSTRING* result) noexcept {
    *result = nullptr;
    if (text.empty()) return true;
    if (text.size() > UINT32_MAX - 1) return false;
    const size_t bytes = sizeof(hstring_header) + (text.size() + 1) * sizeof(char16_t);
    void* block = ::operator new(bytes, std::nothrow);
    if (block == nullptr) return false;
    auto* header = static_cast<hstring_header*>(block);
    auto* chars = reinterpret_cast<char16_t*>(header + 1);
    text.copy(chars, text.size());
    chars[text.size()] = u'\0';
    header->buffer = chars;
    header->length = static_cast<uint32_t>(text.size());
    header->release = &detail::release_owned_hstring;
    *result = header;
    return true;
}

}  // namespace mlabi
