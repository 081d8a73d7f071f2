#include "memory/external_data.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "com/boundary.h"
#include "com/error_info.h"
#include "memory/file_reader.h"
#include "onnx/external_data_rewrite.h"
#include "onnx/quoted_text.h"

namespace runtime {
namespace {

// ONNX Runtime reads a tensor located at "*/_ORT_MEM_ADDR_/*" from the
// memory address in its offset: from a model file, releases up to 1.23
// read the process's memory or crash it.
constexpr std::string_view memory_address_marker = "_ORT_MEM_ADDR_";

std::string quoted(std::string_view text) { return quoted_text(text, 200); }

// A refusal of one reference, carried to the boundary.
[[noreturn]] void refuse(HRESULT status, const external_data_folder& folder, const onnx_external_reference& reference,
                         const std::string& reason) {
    const std::string tensor = reference.tensor.empty() ? "an unnamed tensor" : "tensor " + quoted(reference.tensor);
    throw runtime_failure(status, tensor + ": external data " + reason + " (" + folder.model_path + ")");
}

// Why a location is refused before looking at the file system, or empty.
std::string location_fault(const onnx_external_reference& reference) {
    const std::string_view location = reference.location;
    if (!reference.has_location) return "has no location";
    if (location.empty()) return "has an empty location";
    if (location.find('\0') != std::string_view::npos) return "location contains a NUL character";
    if (location.front() == '/') {
        return "location " + quoted(location) + " is an absolute path; only files inside the model's folder are read";
    }
    size_t start = 0;
    while (start <= location.size()) {
        const size_t end = std::min(location.find('/', start), location.size());
        if (location.substr(start, end - start) == "..") {
            return "location " + quoted(location) + " goes up out of the model's folder ('..')";
        }
        start = end + 1;
    }
    if (location.find(memory_address_marker) != std::string_view::npos) {
        return "location " + quoted(location) + " is ONNX Runtime's marker for data in memory";
    }
    return {};
}

// Decimal digits only, as ONNX writes them, up to the largest file offset.
bool parse_number(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value <= static_cast<uint64_t>(INT64_MAX);
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Where an open file really is, as the kernel names it; empty when unknown.
std::string real_path_of(int fd) {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink(descriptor_path(fd).c_str(), &path[0], path.size());
    if (length <= 0 || static_cast<size_t>(length) >= path.size()) return {};
    path.resize(static_cast<size_t>(length));
    return path;
}

// Inside `folder`, or the folder itself (refused then as a folder).
bool lies_under(const std::string& path, const std::string& folder) {
    if (path.compare(0, folder.size(), folder) != 0) return false;
    return path.size() == folder.size() || folder == "/" || path[folder.size()] == '/';
}

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// openat2(2), called directly: C libraries before glibc 2.32 have no wrapper,
// and some headers no constants. The number is the same on every
// architecture.
constexpr long openat2_call = 437;
constexpr uint64_t resolve_no_magic_links = 0x02, resolve_beneath = 0x08;
struct open_how {
    uint64_t flags, mode, resolve;
};

// Opens (O_PATH) what `location` names beneath `folder` without leaving it,
// links inside it followed, or -1 with errno: EXDEV or ELOOP for a link that
// leads out, ENOSYS or EPERM where the kernel (or a sandbox) has no openat2.
int open_beneath(int folder, const std::string& location, int flags) {
    open_how how{static_cast<uint64_t>(O_PATH | O_CLOEXEC | flags), 0, resolve_beneath | resolve_no_magic_links};
    return static_cast<int>(::syscall(openat2_call, folder, location.c_str(), &how, sizeof how));
}

// Opens (O_PATH) the file a location names: beneath the named folder, or,
// when a link leads out of it (or the kernel cannot say), wherever the
// links lead, to be judged by where the file really is.
int open_location(int folder, const std::string& location, int flags) {
    const int found = open_beneath(folder, location, flags);
    if (found >= 0 || (errno != EXDEV && errno != ELOOP && errno != ENOSYS && errno != EPERM)) return found;
    return ::openat(folder, location.c_str(), O_PATH | O_CLOEXEC | flags);
}

[[noreturn]] void refuse_unopened(const external_data_folder& folder, const onnx_external_reference& reference,
                                  int error) {
    const std::string& location = reference.location;
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            refuse(E_FILE_NOT_FOUND, folder, reference, "file " + quoted(location) + " is not in the model's folder");
        case EACCES:
        case EPERM:
            refuse(E_ACCESSDENIED, folder, reference, "file " + quoted(location) + " may not be read");
        case ELOOP:
            refuse(E_INVALID_MODEL, folder, reference, "location " + quoted(location) + " has a loop of symbolic links");
        default:
            refuse(E_INVALID_MODEL, folder, reference,
                   "file " + quoted(location) + " cannot be opened: " + std::strerror(error));
    }
}

// What is kept of a checked file once it is mapped (or not) and closed.
struct file_facts {
    uint64_t size = 0;
    bool through_link = false;  // the location's last component is a symbolic link
    nlink_t links = 1;          // the file's hard links
};

struct checked_file {
    file_descriptor readable;
    file_facts facts;
};

// Opens the file a location names for reading, once it is known to be a
// regular file inside the model's folders. What is judged is the open file
// itself: where the kernel says it is now, against where the kernel says the
// folders opened with the model are now. Nothing is looked up by a name
// that could since have changed, and renaming a folder cannot move a file
// from elsewhere inside it. The first opens (O_PATH) read nothing and cannot
// block; the file is then reopened through its descriptor, not its name, so
// what was checked is what is read.
checked_file open_checked(const external_data_folder& folder, const onnx_external_reference& reference) {
    const std::string& location = reference.location;
    const int named = folder.folders.named.get();
    checked_file file;
    // The last component unfollowed first: a link is told apart, and a file
    // that is none is used as found.
    file_descriptor found(open_location(named, location, O_NOFOLLOW));
    if (found.get() < 0) refuse_unopened(folder, reference, errno);
    struct stat found_status {};
    if (::fstat(found.get(), &found_status) != 0) refuse_unopened(folder, reference, errno);
    if (S_ISLNK(found_status.st_mode)) {
        file.facts.through_link = true;
        found = file_descriptor(open_location(named, location, 0));
        if (found.get() < 0) refuse_unopened(folder, reference, errno);
        if (::fstat(found.get(), &found_status) != 0) refuse_unopened(folder, reference, errno);
    }

    const std::string real = real_path_of(found.get());
    if (real.empty()) {
        refuse(E_ACCESSDENIED, folder, reference,
               "file " + quoted(location) + " cannot be checked: /proc/self/fd does not tell where it is");
    }
    bool inside = false;
    for (const file_descriptor* allowed : {&folder.folders.named, &folder.folders.real}) {
        if (allowed->get() < 0) continue;
        const std::string allowed_path = real_path_of(allowed->get());
        inside = inside || (!allowed_path.empty() && allowed_path.front() == '/' && lies_under(real, allowed_path));
    }
    if (!inside) {
        refuse(E_INVALID_MODEL, folder, reference, "location " + quoted(location) + " leads outside the model's folder");
    }
    if (!S_ISREG(found_status.st_mode)) {
        refuse(E_INVALID_MODEL, folder, reference,
               "location " + quoted(location) + " is " + kind_of(found_status.st_mode) + ", not a regular file");
    }

    file.readable = file_descriptor(::open(descriptor_path(found.get()).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (file.readable.get() < 0 || ::fstat(file.readable.get(), &status) != 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM) {
            refuse(E_ACCESSDENIED, folder, reference, "file " + quoted(location) + " may not be read");
        }
        refuse(E_INVALID_MODEL, folder, reference,
               "file " + quoted(location) + " cannot be read: " + std::strerror(error));
    }
    if (status.st_dev != found_status.st_dev || status.st_ino != found_status.st_ino) {
        refuse(E_INVALID_MODEL, folder, reference, "file " + quoted(location) + " changed while it was checked");
    }
    file.facts.size = static_cast<uint64_t>(status.st_size);
    file.facts.links = status.st_nlink;
    return file;
}

// ONNX Runtime's own checks refuse links for every tensor but the main
// graph's initializers; so does this, whichever ONNX Runtime is installed.
void check_links(const external_data_folder& folder, const onnx_external_reference& reference,
                 const file_facts& file) {
    if (reference.main_graph_initializer) return;
    const std::string& location = reference.location;
    if (file.through_link) {
        refuse(E_INVALID_MODEL, folder, reference,
               "location " + quoted(location) +
                   " is a symbolic link; only the main graph's initializers may keep their data behind one");
    }
    if (file.links > 1) {
        refuse(E_INVALID_MODEL, folder, reference,
               "file " + quoted(location) +
                   " has other hard links; only the main graph's initializers may keep their data in one");
    }
}

// The bytes of `reference` in its file of `file_size` bytes: its offset and
// length, or the size its type and shape give.
data_range range_of(const external_data_folder& folder, const onnx_external_reference& reference,
                    std::string_view model, uint64_t file_size) {
    data_range range;
    if (reference.has_offset && !parse_number(reference.offset, range.offset)) {
        refuse(E_INVALID_MODEL, folder, reference, "offset " + quoted(reference.offset) + " is not a number");
    }
    if (reference.has_length && !parse_number(reference.length, range.length)) {
        refuse(E_INVALID_MODEL, folder, reference, "length " + quoted(reference.length) + " is not a number");
    }
    std::string described = "at offset " + std::to_string(range.offset);
    if (reference.has_length) {
        described += ", length " + std::to_string(range.length) + ",";
    } else if (range.offset <= file_size) {
        const std::string_view tensor =
            model.substr(reference.tensor_begin, reference.tensor_end - reference.tensor_begin);
        if (!tensor_data_size(tensor, range.length)) {
            refuse(E_INVALID_MODEL, folder, reference,
                   "gives no length, and its size cannot be told from its type and shape");
        }
        described += ", " + std::to_string(range.length) + " bytes by its type and shape,";
    }
    if (range.offset > file_size || range.length > file_size - range.offset) {
        refuse(E_INVALID_MODEL, folder, reference,
               described + " lies past the end of " + quoted(reference.location) + " (" +
                   std::to_string(file_size) + " bytes)");
    }
    return range;
}

std::string mebibytes(uint64_t bytes) {
    const uint64_t mebibyte = uint64_t{1} << 20;
    return bytes < mebibyte ? std::to_string(bytes) + " bytes" : std::to_string((bytes + mebibyte / 2) / mebibyte) + " MiB";
}

// ONNX Runtime holds each tensor's data apart, so tensors that name the same
// bytes again cost a copy each (its own API maps them, lazily): a small file
// naming one megabyte thousands of times would cost gigabytes. Repeats may
// add up to the distinct data named, or to the allowance if that is more.
void check_repeats(const external_data_folder& folder, const std::vector<onnx_external_reference>& references,
                   const std::vector<data_range>& ranges) {
    constexpr uint64_t allowance = uint64_t{64} << 20;
    std::unordered_map<std::string_view, std::vector<data_range>> by_file;
    uint64_t named = 0;
    for (size_t i = 0; i < references.size(); ++i) {
        by_file[references[i].location].push_back(ranges[i]);
        named += ranges[i].length;  // each within a file: no overflow short of 2^64 files' worth
    }
    uint64_t distinct = 0;
    for (auto& [location, file_ranges] : by_file) {
        std::sort(file_ranges.begin(), file_ranges.end(),
                  [](const data_range& a, const data_range& b) { return a.offset < b.offset; });
        uint64_t covered_to = 0;
        for (const data_range& range : file_ranges) {
            const uint64_t end = range.offset + range.length;
            if (end <= covered_to) continue;
            distinct += end - std::max(range.offset, covered_to);
            covered_to = end;
        }
    }
    const uint64_t repeated = named - distinct;
    if (repeated > std::max(distinct, allowance)) {
        throw runtime_failure(E_INVALID_MODEL,
                              "external data: tensors name " + mebibytes(named) + " in all, of which " +
                                  mebibytes(distinct) + " are distinct; ONNX Runtime copies every repeat, so " +
                                  "repeats may add up to the distinct data or " + mebibytes(allowance) +
                                  ", whichever is more (" + folder.model_path + ")");
    }
}

// The location without "." and empty components: the same file, as there is
// no "..", under the name ONNX Runtime finds in its table (some releases
// normalise the table's names but not the model's).
std::string plain_location(std::string_view location) {
    std::string plain;
    size_t start = 0;
    while (start <= location.size()) {
        const size_t end = std::min(location.find('/', start), location.size());
        const std::string_view component = location.substr(start, end - start);
        if (!component.empty() && component != ".") {
            if (!plain.empty()) plain += '/';
            plain += component;
        }
        start = end + 1;
    }
    return plain;
}

}  // namespace

external_data_files::~external_data_files() { release(); }

void external_data_files::release() noexcept {
    for (const mapped_file& file : files_) {
        if (file.mapping != 0) ::munmap(file.bytes, file.mapping);
    }
    files_.clear();
    ranges_.clear();
    table_names_.clear();
    table_buffers_.clear();
    table_sizes_.clear();
}

HRESULT external_data_files::open(const external_data_folder& folder, std::string_view model,
                                  const std::vector<onnx_external_reference>& references, bool map) noexcept {
    release();
    const HRESULT status = at_boundary("out of memory checking a model's external data",
                                      "unexpected failure checking a model's external data", [&] {
        // Each file once, however many tensors it holds.
        std::unordered_map<std::string_view, file_facts> checked;
        for (const onnx_external_reference& reference : references) {
            if (std::string fault = location_fault(reference); !fault.empty()) {
                refuse(E_INVALID_MODEL, folder, reference, fault);
            }
            auto known = checked.find(reference.location);
            if (known == checked.end()) {
                const checked_file file = open_checked(folder, reference);
                if (map) add_mapping(folder, reference, file.readable.get(), file.facts.size);
                known = checked.emplace(reference.location, file.facts).first;
            }
            check_links(folder, reference, known->second);
            ranges_.push_back(range_of(folder, reference, model, known->second.size));
        }
        check_repeats(folder, references, ranges_);
        return S_OK;
    });
    if (failed(status)) release();
    return status;
}

void external_data_files::add_mapping(const external_data_folder& folder, const onnx_external_reference& reference,
                                      int fd, uint64_t size) {
    // An empty file has no mapping, but ONNX Runtime still wants a pointer.
    static char nothing = 0;
    mapped_file& file = files_.emplace_back();
    file.location = reference.location;
    file.bytes = &nothing;
    if (size == 0) return;
    void* bytes = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (bytes == MAP_FAILED) {
        refuse(E_OUTOFMEMORY, folder, reference,
               "file " + quoted(reference.location) + " cannot be mapped: " + std::strerror(errno));
    }
    file.bytes = static_cast<char*>(bytes);
    file.size = file.mapping = static_cast<size_t>(size);
}

HRESULT external_data_files::hand_over(std::string_view model, const std::vector<onnx_external_reference>& references,
                                       bool table, std::string& rewritten) noexcept {
    rewritten.clear();
    table_names_.clear();
    table_buffers_.clear();
    table_sizes_.clear();
    return at_boundary("out of memory preparing a model's external data",
                       "unexpected failure preparing a model's external data", [&] {
        std::unordered_map<std::string_view, const mapped_file*> files;
        for (const mapped_file& file : files_) files.emplace(file.location, &file);
        std::unordered_set<std::string> names;
        std::vector<tensor_rewrite> rewrites;
        if (ranges_.size() != references.size()) throw std::logic_error("external data handed over unchecked");
        for (size_t i = 0; i < references.size(); ++i) {
            const onnx_external_reference& reference = references[i];
            const auto found = files.find(reference.location);
            if (found == files.end()) throw std::logic_error("external data handed over before it was mapped");
            const mapped_file* file = found->second;
            tensor_rewrite change;
            change.begin = reference.tensor_begin;
            change.end = reference.tensor_end;
            if (!table || !reference.main_graph_initializer) {
                change.data = std::string_view(file->bytes + ranges_[i].offset, static_cast<size_t>(ranges_[i].length));
                rewrites.push_back(std::move(change));
                continue;
            }
            std::string name = plain_location(reference.location);
            if (names.insert(name).second) {
                table_names_.push_back(name);
                table_buffers_.push_back(file->bytes);
                table_sizes_.push_back(file->size);
            }
            if (name != reference.location) {
                change.location = std::move(name);
                rewrites.push_back(std::move(change));
            }
        }
        if (!rewrites.empty()) rewritten = rewrite_tensors(model, std::move(rewrites));
        return S_OK;
    });
}

HRESULT check_nothing_read_by_name(std::string_view model, const std::vector<std::string>& served) noexcept {
    return at_boundary("out of memory checking a model", "unexpected failure checking a model", [&] {
        onnx_model info;
        std::string reason;
        if (read_onnx_model(model, info, reason) != onnx_read_status::ok) {
            return fail(E_INVALID_MODEL, "the model prepared for ONNX Runtime does not read back: " + reason);
        }
        for (const onnx_external_reference& reference : info.external_data) {
            const bool from_memory = reference.main_graph_initializer &&
                                     std::find(served.begin(), served.end(), reference.location) != served.end();
            if (!from_memory) {
                return fail(E_INVALID_MODEL, "the model prepared for ONNX Runtime still names external data " +
                                                 quoted(reference.location) + " for tensor " + quoted(reference.tensor));
            }
        }
        return S_OK;
    });
}

}  // namespace runtime
