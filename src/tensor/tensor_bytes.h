// Read access to an output tensor's element bytes, bounded by the capacity
// the platform reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "abi/machine_learning.h"
#include "abi_support/com_ptr.h"

namespace qelmo {

// Bytes that a tensor of `shape` with `element_size`-byte elements occupies.
// Throws std::invalid_argument for a negative extent and std::runtime_error
// when the product does not fit in memory.
size_t bytes_needed(const std::vector<int64_t>& shape, size_t element_size);

// The storage of one tensor, held readable for as long as this object
// lives (the buffer reference keeps it valid). Throws the platform error
// when the tensor does not expose its storage.
class tensor_bytes {
public:
    explicit tensor_bytes(mlabi::ITensor* tensor);

    // The first `size` bytes; std::runtime_error when the storage is smaller.
    const uint8_t* read(size_t size) const;

private:
    mlabi::com_ptr<mlabi::IMemoryBufferReference> reference_;
    mlabi::com_ptr<mlabi::IMemoryBufferByteAccess> access_;
    uint8_t* data_ = nullptr;
    uint32_t capacity_ = 0;
};

}  // namespace qelmo
