// A model file's bytes in memory, each at its offset in the file. A small
// file is read whole. Of a large one only the structure is read at first
// (what read_onnx_model looks at, see onnx_structure.h), and the file stays
// open, so that it can still be read after it is deleted or renamed; a file
// changed in place since it was loaded is refused. Sessions have ONNX
// Runtime read such a file itself through that descriptor, or, where it
// cannot be named, take the complete bytes, read for the occasion and
// released once the session is made.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "abi/unknown.h"
#include "memory/file_reader.h"

namespace runtime {

class model_file {
public:
    // The complete file, kept in memory for as long as this lives.
    class complete_bytes {
    public:
        complete_bytes() = default;
        complete_bytes(complete_bytes&& other) noexcept;
        complete_bytes& operator=(complete_bytes&& other) noexcept;
        complete_bytes(const complete_bytes&) = delete;
        complete_bytes& operator=(const complete_bytes&) = delete;
        ~complete_bytes() { reset(); }

        std::string_view bytes() const { return bytes_; }
        void reset() noexcept;

    private:
        friend class model_file;
        model_file* owner_ = nullptr;
        std::string_view bytes_;
    };

    // Opens the regular file at `path` (UTF-8) and reads what the structure
    // needs; `folders`, when given, receives the folders it was found in
    // (open_model_file). Failures are recorded with fail(): E_FILE_NOT_FOUND,
    // E_ACCESSDENIED, E_INVALID_MODEL (not a regular file, a read error, the
    // file changing while read), E_OUTOFMEMORY.
    static mlabi::HRESULT open(const std::string& path, std::unique_ptr<model_file>& result,
                               model_folders* folders = nullptr) noexcept;

    // Contents already in memory, complete.
    explicit model_file(std::string contents);
    ~model_file();
    model_file(const model_file&) = delete;
    model_file& operator=(const model_file&) = delete;

    // The file's bytes at their offsets; bytes not read yet are zeros.
    std::string_view image() const { return std::string_view(data_, size_); }

    // Whether tensor payloads are read only while a complete_bytes lives.
    bool has_deferred_payloads() const { return deferred_; }

    // For a model whose sessions read the file by its path (its tensors keep
    // data in other files): the bytes here are never completed, so the file
    // need not stay open.
    void close_file() noexcept { file_.reset(); }

    // Gives `whole` the complete file, reading what is missing. Fails with
    // E_INVALID_MODEL (recorded) when the file changed since it was opened
    // or cannot be read. Safe from several threads at once.
    mlabi::HRESULT complete(complete_bytes& whole) noexcept;

    // For a file with deferred payloads: "/proc/self/fd/N", a name that
    // opens the very file held open here, even after it was deleted or
    // replaced, so that a reader needs no copy of it from here. Left empty
    // when the file cannot be opened so (no /proc, permission taken away):
    // complete() still serves. Before naming it, the bytes read for its
    // structure are read again and compared, so a file rewritten in place
    // with its size and modification time put back is refused as well as
    // one visibly changed: E_INVALID_MODEL (recorded). `handed` is the file's
    // status then, for check_unchanged_since(). Safe from several threads.
    mlabi::HRESULT descriptor_path(std::string& path, struct stat& handed) noexcept;

    // Whether the file is still as descriptor_path() found it, for a reader
    // of that name once it is done: any write since changes its change
    // time, which nothing but the clock can put back. E_INVALID_MODEL
    // (recorded) if not. What the reader read in between is then unknown, so
    // the caller drops what it made.
    mlabi::HRESULT check_unchanged_since(const struct stat& handed) const noexcept;

private:
    class structure_reader;

    model_file() = default;
    mlabi::HRESULT read_structure();
    // Reads the unloaded blocks overlapping [begin, end).
    mlabi::HRESULT load(size_t begin, size_t end, const char* changed_message);
    mlabi::HRESULT check_unchanged(const char* changed_message) const;
    // Whether the blocks read for the structure still hold what was read.
    mlabi::HRESULT check_structure_unchanged() const;
    void release_payloads() noexcept;
    void end_lease() noexcept;

    // Either a private anonymous mapping, read in blocks, or `contents_`.
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t mapping_size_ = 0;
    std::string contents_;

    std::string path_;
    file_descriptor file_;     // open while payloads may be unread
    struct stat opened_ {};    // the file's status when opened
    std::vector<bool> loaded_;     // per block: holds the file's bytes
    std::vector<bool> structure_;  // per block: read for the structure, kept
    bool deferred_ = false;        // some block is not part of the structure

    std::mutex mutex_;  // guards loaded_ and leases_ after opening
    size_t leases_ = 0;
};

}  // namespace runtime
