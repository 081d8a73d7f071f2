// Reading a whole file into memory in one read, for model files that may be
// hundreds of megabytes.
#pragma once

#include <string>

#include "abi/unknown.h"

namespace runtime {

// Reads the regular file at `path` (UTF-8) into `contents`. Failures are
// recorded with a readable message: E_FILE_NOT_FOUND when nothing is there,
// E_ACCESSDENIED when it may not be read, E_INVALID_MODEL for a directory or
// any other non-regular file or a read error, E_OUTOFMEMORY when it does not
// fit in memory.
mlabi::HRESULT read_whole_file(const std::string& path, std::string& contents) noexcept;

// `path` made absolute against the current directory, otherwise unchanged
// (no symbolic links resolved, so files beside it are found as the caller
// named them). Returns `path` itself when the current directory is unknown.
std::string absolute_path(const std::string& path);

}  // namespace runtime
