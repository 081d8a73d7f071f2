// Large buffers filled right after allocation: asking for transparent huge
// pages turns one page fault per 4 KiB into one per 2 MiB, which is most of
// the cost of filling fresh memory of tens of megabytes.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace runtime {

constexpr size_t huge_page_size = size_t{2} << 20;
// Below this a buffer is likely to come from the heap, already mapped.
constexpr size_t huge_page_threshold = size_t{4} << 20;

// Advises the whole 2 MiB pages inside [data, data + bytes); a refusal (no
// transparent huge pages on this kernel) changes nothing.
inline void advise_huge_pages(void* data, size_t bytes) noexcept {
    if (bytes < huge_page_threshold) return;
    const auto begin = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (begin + huge_page_size - 1) & ~(uintptr_t{huge_page_size} - 1);
    const uintptr_t last = (begin + bytes) & ~(uintptr_t{huge_page_size} - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace runtime
