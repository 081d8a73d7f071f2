// The files that a model's tensors keep their data in. The model names them
// itself (each tensor's `location`), so a model from elsewhere could name
// any file its user may read and hand its bytes back as an output. A
// reference is accepted only when its location is a relative path without
// `..` that leads to a regular file inside the model's folder, and its offset
// and length are numbers within that file. The model's folder is the one it
// was opened through, held open since (model_folders): locations are looked
// up beneath it, never through its name again, so renaming or relinking
// folders meanwhile changes nothing. A symbolic link may lead from that
// folder to the folder the model file itself is in (download caches keep
// the files there); one leading anywhere else is refused. Outside the main
// graph's initializers, where ONNX Runtime's own checks refuse them, a
// location may not be a symbolic link and its file may have no other hard
// link. Files are looked at without being opened for reading until they are
// known to be regular files, so a FIFO or a device is refused without
// blocking or being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "abi/unknown.h"
#include "memory/file_reader.h"
#include "onnx/onnx_model.h"

namespace runtime {

// Where a model's external data may lie, settled when the model is loaded:
// locations are relative to `folders.named`, and a file may lie beneath it
// or beneath `folders.real`.
struct external_data_folder {
    std::string model_path;  // absolute; named in messages
    model_folders folders;
};

// Where a reference's bytes lie in its file.
struct data_range {
    uint64_t offset = 0, length = 0;
};

// The checked files of a model's references, each opened once and, when
// asked, mapped read-only until this is destroyed.
class external_data_files {
public:
    external_data_files() = default;
    external_data_files(const external_data_files&) = delete;
    external_data_files& operator=(const external_data_files&) = delete;
    ~external_data_files();

    // Checks every reference of `model` (its bytes as far as read: the
    // tensors' types and shapes at least) in `folder`; with `map`, keeps
    // each distinct file mapped. A refusal is recorded with a message naming
    // the tensor and the reason (never anything read from the file):
    // E_INVALID_MODEL for a location or numbers that are not accepted, and
    // for references that repeat the same bytes past an allowance (see
    // check_repeats), E_FILE_NOT_FOUND for a missing file, E_ACCESSDENIED
    // for one that may not be read (or when /proc/self/fd, which the check
    // needs, is missing).
    mlabi::HRESULT open(const external_data_folder& folder, std::string_view model,
                        const std::vector<onnx_external_reference>& references, bool map) noexcept;

    // What ONNX Runtime is given, once the files are mapped, so that it
    // opens nothing by name: `model` with the data of every tensor it would
    // look for by name written into it (into `rewritten`, left empty when
    // there is none), and the files it takes from memory (the table below).
    // With `table` false (a library without that call), every tensor's
    // data is written in. `references` are those open() checked.
    mlabi::HRESULT hand_over(std::string_view model, const std::vector<onnx_external_reference>& references,
                             bool table, std::string& rewritten) noexcept;

    // ONNX Runtime's table of files in memory, by the locations the model
    // (or its rewritten copy) gives.
    const std::vector<std::string>& table_names() const { return table_names_; }
    const std::vector<char*>& table_buffers() const { return table_buffers_; }
    const std::vector<size_t>& table_sizes() const { return table_sizes_; }

private:
    struct mapped_file {
        std::string location;
        char* bytes = nullptr;
        size_t size = 0;
        size_t mapping = 0;  // the mapping's length, 0 when none
    };

    void release() noexcept;
    // Maps `fd`, a checked file of `size` bytes, as `reference`'s location.
    void add_mapping(const external_data_folder& folder, const onnx_external_reference& reference, int fd,
                     uint64_t size);

    std::vector<mapped_file> files_;
    std::vector<data_range> ranges_;  // of each reference open() checked
    std::vector<std::string> table_names_;
    std::vector<char*> table_buffers_;
    std::vector<size_t> table_sizes_;
};

// The last look at what ONNX Runtime is given as bytes, read as it will read
// them: no tensor may still keep its data in another file but those it
// takes from memory (`served`, the names of its table of files in memory,
// which only the main graph's initializers reach). E_INVALID_MODEL
// (recorded) otherwise.
mlabi::HRESULT check_nothing_read_by_name(std::string_view model, const std::vector<std::string>& served) noexcept;

}  // namespace runtime
