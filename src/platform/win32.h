// Stand-ins for the few operating-system calls the module makes, with the
// behaviour the module relies on.
#pragma once

#include <cstdint>

#include "abi/unknown.h"

namespace qelmo::platform {

constexpr uint32_t COINIT_MULTITHREADED = 0x0;
constexpr uint32_t COINIT_APARTMENTTHREADED = 0x2;
constexpr uint32_t CP_UTF8 = 65001;

// Joins the calling thread to an apartment: S_OK the first time, S_FALSE when
// it already belongs to the one asked for, RPC_E_CHANGED_MODE when it belongs
// to the other kind.
mlabi::HRESULT CoInitializeEx(void* reserved, uint32_t flags);

// UTF-16 to UTF-8 (the only code page offered). `source_length` counts code
// units (-1: up to and including a NUL). With `destination_size` 0 it returns
// the bytes needed; otherwise the bytes written, or 0 when they do not fit.
// Unpaired surrogates become U+FFFD; embedded NULs are converted.
int WideCharToMultiByte(uint32_t code_page, uint32_t flags, const char16_t* source, int source_length,
                        char* destination, int destination_size, const char* default_char, bool* used_default);

}  // namespace qelmo::platform
