// Copies of tensor elements across the boundary: the runtime copies each
// input array into its tensor, the module copies each output tensor into a
// new array. One core copies at 6 to 12 GB/s, well below what the memory
// can do, so copies of megabytes are split across a few short-lived threads.
// Threads are started per copy, not kept: nothing outlives the call, which
// keeps fork() and interpreter shutdown simple, and starting one costs tens
// of microseconds against the milliseconds it saves.
#pragma once

#include <sched.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <thread>

namespace mlabi {
namespace parallel_copy_detail {

// Below this one thread copies; each further thread gets at least this much.
constexpr size_t min_bytes_per_thread = size_t{2} << 20;
// Memory bandwidth is shared: past a few threads more only add start-up cost.
constexpr size_t max_threads = 8;
// Chunks are whole cache lines, so threads share no line of an aligned target.
constexpr size_t chunk_alignment = 64;

// The cores this process may run on (its affinity mask, not the machine's).
inline size_t usable_cores() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int count = CPU_COUNT(&set);
    return count > 0 ? static_cast<size_t>(count) : 1;
}

inline size_t threads_for(size_t bytes) noexcept {
    static const size_t cores = usable_cores();
    return std::min({bytes / min_bytes_per_thread, cores, max_threads});
}

// Copies in `parts` chunks, all but the first on helper threads. Never
// throws: when a thread cannot be started, the caller copies its chunk.
inline void copy_in_parts(unsigned char* to, const unsigned char* from, size_t bytes, size_t parts) noexcept {
    parts = std::min(parts, max_threads);
    if (parts < 2) {
        if (bytes != 0) std::memcpy(to, from, bytes);
        return;
    }
    // Rounded up twice, so that `parts` chunks cover every byte.
    const size_t share = bytes / parts + (bytes % parts != 0);
    const size_t chunk = (share + chunk_alignment - 1) / chunk_alignment * chunk_alignment;
    std::thread helpers[max_threads];
    size_t started = 0;
    // Helpers copy while the later ones start; the caller takes the first chunk last.
    for (size_t i = 1; i < parts; ++i) {
        const size_t begin = i * chunk;
        if (begin >= bytes) break;
        const size_t length = std::min(chunk, bytes - begin);
        try {
            helpers[started] = std::thread([=] { std::memcpy(to + begin, from + begin, length); });
            ++started;
        } catch (...) {  // no thread to be had: std::system_error or std::bad_alloc
            std::memcpy(to + begin, from + begin, length);
        }
    }
    if (bytes != 0) std::memcpy(to, from, std::min(chunk, bytes));
    for (size_t i = 0; i < started; ++i) helpers[i].join();
}

}  // namespace parallel_copy_detail

// Copies `bytes` from `source` to `target`, which must not overlap.
inline void copy_bytes(void* target, const void* source, size_t bytes) noexcept {
    using namespace parallel_copy_detail;
    copy_in_parts(static_cast<unsigned char*>(target), static_cast<const unsigned char*>(source), bytes,
                  threads_for(bytes));
}

}  // namespace mlabi
