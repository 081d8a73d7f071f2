// Page-locking of the runtime's big tensor buffers, for GPU sessions. A GPU
// reads page-locked host memory directly, several times faster than
// pageable memory, which the driver first copies into a locked buffer of its
// own. Locking a buffer costs about as much as one such copy, so only
// buffers used again are locked: those the big block cache hands out a
// second time (big_block_cache.h). Nothing is locked until the CUDA
// provider has started in this process and handed over its functions.
#pragma once

#include <cstddef>

namespace runtime {

// The CUDA runtime's cudaHostRegister and cudaHostUnregister, as the CUDA
// provider loaded them; 0 is success.
using lock_pages_function = int (*)(void* data, size_t bytes, unsigned flags);
using unlock_pages_function = int (*)(void* data);

// From now on big buffers used again are locked with these (both null: no
// more locking; buffers already locked are still unlocked with the old one).
void enable_page_locking(lock_pages_function lock, unlock_pages_function unlock) noexcept;

// Locks [data, data + bytes); false when locking is off or was refused. A
// refusal turns locking off, so that no later buffer pays for a failing call.
bool lock_pages(void* data, size_t bytes) noexcept;

// Unlocks what lock_pages locked at `data`; before the memory is freed.
void unlock_pages(void* data) noexcept;

}  // namespace runtime
