#include "classes/tensor_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "memory/big_block_cache.h"
#include "memory/huge_pages.h"

namespace runtime {
namespace {

constexpr size_t alignment = 64;  // a cache line; enough for any vector unit

// Address handed out for empty buffers so that callers never see null.
alignas(alignment) unsigned char empty_buffer[alignment];

// Whole huge pages for `bytes`; 0 when there is no such size.
size_t huge_pages_for(size_t bytes) noexcept {
    if (bytes > SIZE_MAX - huge_page_size) return 0;
    return (bytes + huge_page_size - 1) / huge_page_size * huge_page_size;
}

}  // namespace

tensor_buffer::tensor_buffer(tensor_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      block_(std::exchange(other.block_, nullptr)),
      locked_(std::exchange(other.locked_, false)),
      value_(std::move(other.value_)) {}

tensor_buffer& tensor_buffer::operator=(tensor_buffer&& other) noexcept {
    if (this != &other) {
        release_block();
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
        block_ = std::exchange(other.block_, nullptr);
        locked_ = std::exchange(other.locked_, false);
        value_ = std::move(other.value_);
    }
    return *this;
}

void tensor_buffer::release_block() noexcept {
    if (block_ == nullptr) return;
    if (bytes_ >= huge_page_threshold) {
        give_back_big_block(block_, huge_pages_for(bytes_), locked_);
    } else {
        std::free(block_);
    }
    block_ = nullptr;
    locked_ = false;
}

tensor_buffer tensor_buffer::allocate(size_t bytes) {
    tensor_buffer buffer;
    if (bytes >= huge_page_threshold) {
        const size_t rounded = huge_pages_for(bytes);
        if (rounded < bytes) throw std::bad_alloc();
        buffer.block_ = take_big_block(rounded, buffer.locked_);
        if (buffer.block_ == nullptr) {
            // Big tensors start on a huge page so that all of them can use huge pages.
            buffer.block_ = std::aligned_alloc(huge_page_size, rounded);
            if (buffer.block_ == nullptr) throw std::bad_alloc();
            advise_huge_pages(buffer.block_, rounded);
        }
        buffer.data_ = buffer.block_;
    } else {
        // Small tensors are made on every evaluation: a plain allocation,
        // aligned by hand, is several times cheaper than an aligned one and
        // stays in the allocator's per-thread cache.
        buffer.block_ = std::malloc(bytes + alignment - 1);
        if (buffer.block_ == nullptr) throw std::bad_alloc();
        const auto address = reinterpret_cast<uintptr_t>(buffer.block_);
        buffer.data_ = reinterpret_cast<void*>((address + alignment - 1) & ~uintptr_t{alignment - 1});
    }
    buffer.bytes_ = bytes;
    return buffer;
}

tensor_buffer tensor_buffer::adopt(owned_value value, void* data, size_t bytes) noexcept {
    tensor_buffer buffer;
    buffer.value_ = std::move(value);
    buffer.data_ = data;
    buffer.bytes_ = bytes;
    return buffer;
}

void* tensor_buffer::empty_address() noexcept { return empty_buffer; }

}  // namespace runtime
