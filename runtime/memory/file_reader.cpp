#include "memory/file_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

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

namespace {

// `path` split at its last slash: the folder (".", "/" or what precedes the
// slash) and the last component ("." when the path ends in a slash).
std::pair<std::string, std::string> split_path(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    std::string name = path.substr(slash + 1);
    return {std::move(folder), name.empty() ? std::string(".") : std::move(name)};
}

// Where a symbolic link, open as `link` (O_PATH | O_NOFOLLOW), points.
bool read_link(int link, std::string& target) {
    target.assign(4096, '\0');
    const ssize_t length = ::readlinkat(link, "", &target[0], target.size());
    if (length <= 0 || static_cast<size_t>(length) >= target.size()) return false;
    target.resize(static_cast<size_t>(length));
    return true;
}

}  // namespace

mlabi::HRESULT open_model_file(const std::string& path, file_descriptor& file, struct stat& status,
                               model_folders* folders) noexcept {
    try {
        file.reset();
        if (path.empty()) return fail(mlabi::E_FILE_NOT_FOUND, "model file not found: the path is empty");

        auto [folder_path, name] = split_path(path);
        file_descriptor named(::open(folder_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (named.get() < 0) return open_failure(errno, path);
        file_descriptor real(::fcntl(named.get(), F_DUPFD_CLOEXEC, 0));
        if (real.get() < 0) return open_failure(errno, path);

        // The last component, followed through links as the kernel would, to
        // at most as many links as it follows.
        constexpr int most_links = 40;
        file_descriptor found;
        for (int links = 0;; ++links) {
            found = file_descriptor(::openat(real.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            if (found.get() < 0 || ::fstat(found.get(), &status) != 0) return open_failure(errno, path);
            if (!S_ISLNK(status.st_mode)) break;
            std::string target;
            if (links == most_links || !read_link(found.get(), target)) return open_failure(ELOOP, path);
            auto [target_folder, target_name] = split_path(target);
            // An absolute target names its folder from the root; openat
            // ignores `real` then.
            file_descriptor next(::openat(real.get(), target_folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (next.get() < 0) return open_failure(errno, path);
            real = std::move(next);
            name = std::move(target_name);
        }
        if (S_ISDIR(status.st_mode)) return fail(mlabi::E_INVALID_MODEL, "not an ONNX model: a directory (" + path + ")");
        if (!S_ISREG(status.st_mode)) {
            return fail(mlabi::E_INVALID_MODEL, "not an ONNX model: not a regular file (" + path + ")");
        }

        // Non-blocking and without following a link: what is opened is what
        // was looked at, or the open fails.
        file_descriptor opened(
            ::openat(real.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
        if (opened.get() < 0) return open_failure(errno, path);
        const struct stat looked_at = status;
        if (::fstat(opened.get(), &status) != 0) return open_failure(errno, path);
        if (status.st_dev != looked_at.st_dev || status.st_ino != looked_at.st_ino) {
            return fail(mlabi::E_INVALID_MODEL, "the model file changed while it was opened: " + path);
        }
        file = std::move(opened);
        if (folders != nullptr) {
            struct stat named_status {}, real_status {};
            if (::fstat(named.get(), &named_status) == 0 && ::fstat(real.get(), &real_status) == 0 &&
                named_status.st_dev == real_status.st_dev && named_status.st_ino == real_status.st_ino) {
                real.reset();
            }
            *folders = model_folders{std::move(named), std::move(real)};
        }
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
