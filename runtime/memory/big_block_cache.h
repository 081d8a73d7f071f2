// Keeps a few freed big tensor buffers for the next tensors of the same
// size. Fresh memory of megabytes costs a page fault and a cleared page per
// huge page, which for an input evaluated again and again with one shape is
// as much as a second copy of it.
#pragma once

#include <cstddef>

#include "memory/huge_pages.h"
#include "memory/page_locking.h"

namespace runtime {

// Smaller buffers come from the heap, already mapped; they are not kept.
constexpr size_t big_block_minimum = huge_page_threshold;
// At most this many buffers and this many bytes are kept; the oldest go first.
constexpr size_t big_block_slots = 4;
constexpr size_t big_block_budget = size_t{256} << 20;

// A kept buffer of exactly `bytes` (as allocated), or null. A buffer handed
// out again is page-locked where that is on (page_locking.h); `locked` says
// whether it is.
void* take_big_block(size_t bytes, bool& locked) noexcept;

// Keeps `data` (`bytes` as allocated, from std::aligned_alloc; `locked` as
// take_big_block said) for reuse, or unlocks and frees it when it is too
// small or too big to keep.
void give_back_big_block(void* data, size_t bytes, bool locked) noexcept;

}  // namespace runtime
