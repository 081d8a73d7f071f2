#include "memory/model_file.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "com/boundary.h"
#include "com/error_info.h"
#include "memory/huge_pages.h"
#include "onnx/onnx_structure.h"
#include "onnx/protobuf_wire.h"

namespace runtime {
namespace {

// The unit of reading and releasing a large file's bytes.
constexpr size_t block_size = size_t{64} << 10;
// Files up to this size are read whole: reading them in part saves little.
constexpr uint64_t whole_read_limit = uint64_t{4} << 20;

constexpr const char* changed_while_read = "the model file changed while it was read: ";
constexpr const char* changed_after_load = "the model file changed after it was loaded: ";

// Carries a recorded failure out of the structure walk.
struct load_failure {
    mlabi::HRESULT hr;
};

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

// Loads the blocks the structure walk asks for.
class model_file::structure_reader final : public byte_range_source {
public:
    explicit structure_reader(model_file& file) : file_(file) {}

    void need(size_t begin, size_t end) override {
        // Most requests fall in a block already read.
        if (file_.loaded_[begin / block_size] && file_.loaded_[(end - 1) / block_size]) {
            bool all = true;
            for (size_t block = begin / block_size + 1; block < (end - 1) / block_size; ++block) {
                if (!file_.loaded_[block]) {
                    all = false;
                    break;
                }
            }
            if (all) return;
        }
        const mlabi::HRESULT hr = file_.load(begin, end, changed_while_read);
        if (mlabi::failed(hr)) throw load_failure{hr};
    }

private:
    model_file& file_;
};

void model_file::complete_bytes::reset() noexcept {
    if (owner_ != nullptr) owner_->end_lease();
    owner_ = nullptr;
    bytes_ = {};
}

model_file::complete_bytes::complete_bytes(complete_bytes&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)), bytes_(std::exchange(other.bytes_, {})) {}

model_file::complete_bytes& model_file::complete_bytes::operator=(complete_bytes&& other) noexcept {
    if (this != &other) {
        reset();
        owner_ = std::exchange(other.owner_, nullptr);
        bytes_ = std::exchange(other.bytes_, {});
    }
    return *this;
}

model_file::model_file(std::string contents) : contents_(std::move(contents)) {
    data_ = contents_.data();
    size_ = contents_.size();
}

model_file::~model_file() {
    if (mapping_size_ != 0) ::munmap(data_, mapping_size_);
}

mlabi::HRESULT model_file::open(const std::string& path, std::unique_ptr<model_file>& result,
                                model_folders* folders) noexcept {
    result.reset();
    return at_boundary("out of memory reading a model file", "unexpected failure reading model file", [&] {
        std::unique_ptr<model_file> file(new model_file());
        file->path_ = path;
        if (mlabi::HRESULT hr = open_model_file(path, file->file_, file->opened_, folders); mlabi::failed(hr)) {
            return hr;
        }
        const auto size = static_cast<uint64_t>(file->opened_.st_size);
        if (size > static_cast<uint64_t>(PTRDIFF_MAX)) {
            return fail(mlabi::E_OUTOFMEMORY, "model file too large for memory: " + path);
        }

        if (size <= whole_read_limit) {
            file->contents_.resize(static_cast<size_t>(size));
            const ssize_t got = read_at(file->file_.get(), &file->contents_[0], file->contents_.size(), 0);
            if (got < 0) {
                const int error = errno;
                return fail(mlabi::E_INVALID_MODEL, "cannot read model file: " + path + ": " + std::strerror(error));
            }
            file->contents_.resize(static_cast<size_t>(got));  // the file shrank since it was opened
            file->data_ = file->contents_.data();
            file->size_ = file->contents_.size();
            file->file_.reset();
        } else {
            file->size_ = static_cast<size_t>(size);
            // Untouched pages of a private anonymous mapping take no memory.
            void* mapped = ::mmap(nullptr, file->size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mapped == MAP_FAILED) return fail(mlabi::E_OUTOFMEMORY, "out of memory reading a model file");
            file->data_ = static_cast<char*>(mapped);
            file->mapping_size_ = file->size_;
            const size_t blocks = (file->size_ + block_size - 1) / block_size;
            file->loaded_.assign(blocks, false);
            if (mlabi::HRESULT hr = file->read_structure(); mlabi::failed(hr)) return hr;
        }
        result = std::move(file);
        return mlabi::S_OK;
    });
}

mlabi::HRESULT model_file::read_structure() {
    // Whole pages for the structure: a huge page would read a 64 KiB block
    // into 2 MiB of memory.
    ::madvise(data_, mapping_size_, MADV_NOHUGEPAGE);
    structure_reader reader(*this);
    try {
        walk_onnx_structure(image(), reader);
    } catch (const load_failure& failure) {
        return failure.hr;
    } catch (const wire_error&) {
        // Malformed bytes: read everything, and let the parser give the
        // same verdict and reason as for any other file.
        if (mlabi::HRESULT hr = load(0, size_, changed_while_read); mlabi::failed(hr)) return hr;
    }
    if (mlabi::HRESULT hr = check_unchanged(changed_while_read); mlabi::failed(hr)) return hr;
    structure_ = loaded_;
    for (bool block : structure_) deferred_ = deferred_ || !block;
    // Nothing left to read: the file is done with.
    if (!deferred_) file_.reset();
    return mlabi::S_OK;
}

mlabi::HRESULT model_file::check_unchanged(const char* changed_message) const {
    struct stat now {};
    if (::fstat(file_.get(), &now) != 0) {
        const int error = errno;
        return fail(mlabi::E_INVALID_MODEL, "cannot read model file: " + path_ + ": " + std::strerror(error));
    }
    if (now.st_size != opened_.st_size || !same_time(now.st_mtim, opened_.st_mtim)) {
        return fail(mlabi::E_INVALID_MODEL, changed_message + path_);
    }
    return mlabi::S_OK;
}

mlabi::HRESULT model_file::load(size_t begin, size_t end, const char* changed_message) {
    size_t block = begin / block_size;
    const size_t last = (end + block_size - 1) / block_size;
    while (block < last) {
        if (loaded_[block]) {
            ++block;
            continue;
        }
        // One read for each run of missing blocks.
        size_t run_end = block + 1;
        while (run_end < last && !loaded_[run_end]) ++run_end;
        const size_t offset = block * block_size;
        const size_t count = std::min(run_end * block_size, size_) - offset;
        const ssize_t got = read_at(file_.get(), data_ + offset, count, offset);
        if (got < 0) {
            const int error = errno;
            return fail(mlabi::E_INVALID_MODEL, "cannot read model file: " + path_ + ": " + std::strerror(error));
        }
        if (static_cast<size_t>(got) != count) return fail(mlabi::E_INVALID_MODEL, changed_message + path_);
        for (; block < run_end; ++block) loaded_[block] = true;
    }
    return mlabi::S_OK;
}

mlabi::HRESULT model_file::complete(complete_bytes& whole) noexcept {
    whole.reset();
    return at_boundary("out of memory reading a model file", "unexpected failure reading model file", [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        if (leases_ == 0 && deferred_) {
            // Faulting the payload in by huge pages is most of what the read
            // saves; the blocks around the structure keep their small pages.
            advise_huge_pages(data_, mapping_size_);
            mlabi::HRESULT hr = check_unchanged(changed_after_load);
            if (mlabi::succeeded(hr)) hr = load(0, size_, changed_after_load);
            // A change during the read shows once it is done.
            if (mlabi::succeeded(hr)) hr = check_unchanged(changed_after_load);
            if (mlabi::failed(hr)) {
                release_payloads();
                return hr;
            }
        }
        ++leases_;
        whole.owner_ = this;
        whole.bytes_ = image();
        return mlabi::S_OK;
    });
}

mlabi::HRESULT model_file::check_structure_unchanged() const {
    std::string block(block_size, '\0');
    for (size_t index = 0; index < structure_.size(); ++index) {
        if (!structure_[index]) continue;
        const size_t offset = index * block_size;
        const size_t count = std::min(block_size, size_ - offset);
        const ssize_t got = read_at(file_.get(), &block[0], count, offset);
        if (got < 0) {
            const int error = errno;
            return fail(mlabi::E_INVALID_MODEL, "cannot read model file: " + path_ + ": " + std::strerror(error));
        }
        if (static_cast<size_t>(got) != count || std::memcmp(block.data(), data_ + offset, count) != 0) {
            return fail(mlabi::E_INVALID_MODEL, changed_after_load + path_);
        }
    }
    return mlabi::S_OK;
}

mlabi::HRESULT model_file::descriptor_path(std::string& path, struct stat& handed) noexcept {
    path.clear();
    return at_boundary("out of memory reading a model file", "unexpected failure reading model file", [&] {
        if (!deferred_) return mlabi::S_OK;
        // The status first: a write after it shows in its change time.
        if (::fstat(file_.get(), &handed) != 0) {
            const int error = errno;
            return fail(mlabi::E_INVALID_MODEL, "cannot read model file: " + path_ + ": " + std::strerror(error));
        }
        if (mlabi::HRESULT hr = check_unchanged(changed_after_load); mlabi::failed(hr)) return hr;
        if (mlabi::HRESULT hr = check_structure_unchanged(); mlabi::failed(hr)) return hr;
        std::string name = "/proc/self/fd/" + std::to_string(file_.get());
        // Only a name that opens this very file will do: /proc may be
        // missing or something else, and the file's permissions may since
        // forbid opening it again.
        const file_descriptor reopened(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        struct stat status {};
        if (reopened.get() < 0 || ::fstat(reopened.get(), &status) != 0 || status.st_dev != opened_.st_dev ||
            status.st_ino != opened_.st_ino) {
            return mlabi::S_OK;
        }
        path = std::move(name);
        return mlabi::S_OK;
    });
}

mlabi::HRESULT model_file::check_unchanged_since(const struct stat& handed) const noexcept {
    return at_boundary("out of memory reading a model file", "unexpected failure reading model file", [&] {
        if (!deferred_) return mlabi::S_OK;
        struct stat now {};
        if (::fstat(file_.get(), &now) != 0 || now.st_size != handed.st_size ||
            !same_time(now.st_mtim, handed.st_mtim) || !same_time(now.st_ctim, handed.st_ctim)) {
            return fail(mlabi::E_INVALID_MODEL, changed_after_load + path_);
        }
        return mlabi::S_OK;
    });
}

void model_file::end_lease() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--leases_ == 0) release_payloads();
}

void model_file::release_payloads() noexcept {
    if (!deferred_) return;
    size_t block = 0;
    const size_t blocks = structure_.size();
    while (block < blocks) {
        if (structure_[block]) {
            ++block;
            continue;
        }
        size_t run_end = block + 1;
        while (run_end < blocks && !structure_[run_end]) ++run_end;
        const size_t offset = block * block_size;
        // The pages come back as zeros, which is what an unread block holds.
        ::madvise(data_ + offset, std::min(run_end * block_size, size_) - offset, MADV_DONTNEED);
        for (; block < run_end; ++block) loaded_[block] = false;
    }
    ::madvise(data_, mapping_size_, MADV_NOHUGEPAGE);
}

}  // namespace runtime
