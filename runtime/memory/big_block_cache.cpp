#include "memory/big_block_cache.h"

#include <cstdlib>
#include <mutex>

namespace runtime {
namespace {

struct kept_block {
    void* data = nullptr;
    size_t bytes = 0;
    bool locked = false;
};

void release(const kept_block& block) noexcept {
    if (block.locked) unlock_pages(block.data);
    std::free(block.data);
}

// Slot 0 is the oldest. Constant-initialised with nothing to destroy, so
// tensors released during exit still find it; kept buffers are freed with
// the process.
struct block_cache {
    std::mutex lock;
    kept_block slots[big_block_slots];
    size_t count = 0;
    size_t total = 0;

    kept_block take_oldest() {
        const kept_block oldest = slots[0];
        total -= oldest.bytes;
        for (size_t i = 1; i < count; ++i) slots[i - 1] = slots[i];
        slots[--count] = {};
        return oldest;
    }
};

block_cache kept_blocks;

block_cache& cache() { return kept_blocks; }

}  // namespace

void* take_big_block(size_t bytes, bool& locked) noexcept {
    locked = false;
    if (bytes < big_block_minimum || bytes > big_block_budget) return nullptr;
    kept_block found;
    {
        block_cache& kept = cache();
        std::lock_guard<std::mutex> guard(kept.lock);
        // The newest first: it is the most likely to be in the cache.
        for (size_t i = kept.count; i-- > 0;) {
            if (kept.slots[i].bytes != bytes) continue;
            found = kept.slots[i];
            kept.total -= bytes;
            for (size_t j = i + 1; j < kept.count; ++j) kept.slots[j - 1] = kept.slots[j];
            kept.slots[--kept.count] = {};
            break;
        }
    }
    if (found.data == nullptr) return nullptr;
    // Used a second time: worth locking for a GPU, outside the cache's lock.
    locked = found.locked || lock_pages(found.data, bytes);
    return found.data;
}

void give_back_big_block(void* data, size_t bytes, bool locked) noexcept {
    if (data == nullptr) return;
    if (bytes < big_block_minimum || bytes > big_block_budget) {
        release({data, bytes, locked});
        return;
    }
    kept_block dropped[big_block_slots];
    size_t dropped_count = 0;
    {
        block_cache& kept = cache();
        std::lock_guard<std::mutex> guard(kept.lock);
        while (kept.count > 0 && (kept.count == big_block_slots || kept.total + bytes > big_block_budget)) {
            dropped[dropped_count++] = kept.take_oldest();
        }
        kept.slots[kept.count++] = {data, bytes, locked};
        kept.total += bytes;
    }
    for (size_t i = 0; i < dropped_count; ++i) release(dropped[i]);
}

}  // namespace runtime
