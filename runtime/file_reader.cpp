#include "file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "error_info.h"
#include "huge_pages.h"

namespace runtime {
namespace {

class file_descriptor {
public:
    explicit file_descriptor(int fd) : fd_(fd) {}
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

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

mlabi::HRESULT read_whole_file(const std::string& path, std::string& contents) noexcept {
    try {
        contents.clear();
        if (path.empty()) return fail(mlabi::E_FILE_NOT_FOUND, "model file not found: the path is empty");

        // Non-blocking so that naming a FIFO cannot hang the caller; it has no
        // effect on regular files.
        file_descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (file.get() < 0) return open_failure(errno, path);

        struct stat status {};
        if (::fstat(file.get(), &status) != 0) return open_failure(errno, path);
        if (S_ISDIR(status.st_mode)) return fail(mlabi::E_INVALID_MODEL, "not an ONNX model: a directory (" + path + ")");
        if (!S_ISREG(status.st_mode)) {
            return fail(mlabi::E_INVALID_MODEL, "not an ONNX model: not a regular file (" + path + ")");
        }
        if (static_cast<unsigned long long>(status.st_size) > contents.max_size()) {
            return fail(mlabi::E_OUTOFMEMORY, "model file too large for memory: " + path);
        }

        const size_t size = static_cast<size_t>(status.st_size);
        // Reserved memory is not touched yet: advised first, the zero fill
        // and the read fault it in by huge pages.
        contents.reserve(size);
        advise_huge_pages(&contents[0], contents.capacity());
        contents.resize(size);
        size_t done = 0;
        while (done < size) {
            // Reads are capped below what every kernel accepts in one call.
            const size_t chunk = std::min<size_t>(size - done, size_t{1} << 30);
            const ssize_t got = ::read(file.get(), &contents[done], chunk);
            if (got < 0) {
                if (errno == EINTR) continue;
                const int error = errno;
                contents.clear();
                return fail(mlabi::E_INVALID_MODEL, "cannot read model file: " + path + ": " + std::strerror(error));
            }
            if (got == 0) break;  // the file shrank since it was opened
            done += static_cast<size_t>(got);
        }
        contents.resize(done);
        return mlabi::S_OK;
    } catch (const std::bad_alloc&) {
        contents.clear();
        contents.shrink_to_fit();
        return fail(mlabi::E_OUTOFMEMORY, "out of memory reading a model file");
    } catch (...) {
        contents.clear();
        return fail(mlabi::E_FAIL, "unexpected failure reading model file");
    }
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
