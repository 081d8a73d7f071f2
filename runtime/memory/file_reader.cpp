#include "memory/file_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "com/error_info.h"

namespace runtime {
namespace {

mlabi::HRESULT open_failure(int error, const std::string& path) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return fail(mlabi::E_FILE_NOT_FOUND, "model file not found: " + path);
        case EACCES:
        case EPERM:
            return fail(mlabi::E_ACCESSDENIED, "model file may not be read: " + path);
        default:
            return fail(mlabi::E_INVALID_MODEL, "cannot open model file: " + path + ": " + std::strerror(error));
    }
}

}  // namespace

file_descriptor& file_descriptor::operator=(file_descriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void file_descriptor::reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

mlabi::HRESULT open_regular_file(const std::string& path, file_descriptor& file, struct stat& status) noexcept {
    try {
        file.reset();
        if (path.empty()) return fail(mlabi::E_FILE_NOT_FOUND, "model file not found: the path is empty");

        // Non-blocking so that naming a FIFO cannot hang the caller; it has no
        // effect on regular files.
        file_descriptor opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (opened.get() < 0) return open_failure(errno, path);

        if (::fstat(opened.get(), &status) != 0) return open_failure(errno, path);
        if (S_ISDIR(status.st_mode)) return fail(mlabi::E_INVALID_MODEL, "not an ONNX model: a directory (" + path + ")");
        if (!S_ISREG(status.st_mode)) {
            return fail(mlabi::E_INVALID_MODEL, "not an ONNX model: not a regular file (" + path + ")");
        }
        file = std::move(opened);
        return mlabi::S_OK;
    } catch (...) {
        return fail(mlabi::E_OUTOFMEMORY, "out of memory opening a model file");
    }
}

ssize_t read_at(int fd, void* into, size_t count, uint64_t offset) noexcept {
    size_t done = 0;
    while (done < count) {
        // Reads are capped below what every kernel accepts in one call.
        const size_t chunk = std::min<size_t>(count - done, size_t{1} << 30);
        const ssize_t got = ::pread(fd, static_cast<char*>(into) + done, chunk, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

std::string absolute_path(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    std::string directory(256, '\0');
    for (;;) {
        if (::getcwd(&directory[0], directory.size()) != nullptr) {
            directory.resize(std::strlen(directory.c_str()));
            break;
        }
        if (errno != ERANGE) return path;
        directory.resize(directory.size() * 2);
    }
    if (directory.empty() || directory.back() != '/') directory += '/';
    return directory + path;
}

}  // namespace runtime
