// A tensor's element bytes: memory of our own, aligned for vector code and
// managed by size (see tensor_buffer.cpp), or the buffer of a value that
// ONNX Runtime produced, released with it.
#pragma once

#include <cstddef>

#include "onnxruntime/owned_value.h"

namespace runtime {

class tensor_buffer {
public:
    tensor_buffer() = default;
    tensor_buffer(tensor_buffer&& other) noexcept;
    tensor_buffer& operator=(tensor_buffer&& other) noexcept;
    tensor_buffer(const tensor_buffer&) = delete;
    tensor_buffer& operator=(const tensor_buffer&) = delete;
    ~tensor_buffer() { release_block(); }

    // `bytes` of uninitialised memory; never null, even for zero bytes.
    // Throws std::bad_alloc.
    static tensor_buffer allocate(size_t bytes);
    // Takes over `value`, whose elements are `bytes` at `data` (null for
    // string tensors).
    static tensor_buffer adopt(owned_value value, void* data, size_t bytes) noexcept;
    // An address for empty buffers, so that callers never see null for them.
    static void* empty_address() noexcept;

    void* data() const { return data_; }
    size_t bytes() const { return bytes_; }

private:
    void release_block() noexcept;

    void* data_ = nullptr;
    size_t bytes_ = 0;
    void* block_ = nullptr;  // our own allocation, which data_ lies in
    bool locked_ = false;     // block_ is page-locked (memory/page_locking.h)
    owned_value value_;
};

}  // namespace runtime
