// Per-thread record of the last failure, with a readable message, read by
// callers through GetRestrictedErrorInfo.
#pragma once

#include <string_view>

#include "abi/unknown.h"

namespace runtime {

// Records `error` with `message` (UTF-8) for the calling thread and returns
// `error`, so failures read `return fail(E_INVALIDARG, "...");`.
mlabi::HRESULT fail(mlabi::HRESULT error, std::string_view message) noexcept;

// Forgets the calling thread's record.
void clear_error() noexcept;

}  // namespace runtime
