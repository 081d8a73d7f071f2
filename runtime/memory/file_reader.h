// Opening model files and reading from them at given offsets.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "abi/unknown.h"

namespace runtime {

// An open file descriptor, closed with its owner.
class file_descriptor {
public:
    file_descriptor() = default;
    explicit file_descriptor(int fd) : fd_(fd) {}
    file_descriptor(file_descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    file_descriptor& operator=(file_descriptor&& other) noexcept;
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor() { reset(); }

    int get() const { return fd_; }
    void reset() noexcept;

private:
    int fd_ = -1;
};

// The folders a model file was found through, held open (O_PATH): the one
// its path names, and the one the file itself is in when that is another
// folder (the path is a symbolic link, as in download caches; else `real`
// holds nothing).
struct model_folders {
    file_descriptor named, real;
};

// Opens the regular file at `path` (UTF-8) for reading and reads its status.
// The path's folder is opened once and the file looked up in it; a symbolic
// link in the last component is followed by hand, each folder on the way
// opened once, so that `folders` (when given) are the very folders the file
// was found in, whatever is renamed or relinked meanwhile. Never blocks, and
// opens nothing but a regular file for reading (a FIFO or a device is
// refused unopened). Failures are recorded with a readable message:
// E_FILE_NOT_FOUND when nothing is there, E_ACCESSDENIED when it may not be
// read, E_INVALID_MODEL for a directory or any other non-regular file.
mlabi::HRESULT open_model_file(const std::string& path, file_descriptor& file, struct stat& status,
                               model_folders* folders = nullptr) noexcept;

// Reads `count` bytes at `offset` of `fd` into `into`, going on after
// interruptions and partial reads. Returns the count read, which is short
// only at the end of the file, or -1 with errno set.
ssize_t read_at(int fd, void* into, size_t count, uint64_t offset) noexcept;

// `path` made absolute against the current directory, otherwise unchanged
// (no symbolic links resolved, so files beside it are found as the caller
// named them). Returns `path` itself when the current directory is unknown.
std::string absolute_path(const std::string& path);

}  // namespace runtime
