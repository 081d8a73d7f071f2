#include "memory/big_block_cache.h"

#include <cstdlib>
#include <mutex>

namespace runtime {
namespace {

struct kept_block {
    void* data = nullptr;
    size_t bytes = 0;
};

// Slot 0 is the oldest. Constant-initialised with nothing to destroy, so
// tensors released during exit still find it; kept buffers are freed with
// the process.
struct block_cache {
    std::mutex lock;
    kept_block slots[big_block_slots];
    size_t count = 0;
    size_t total = 0;

    void drop_oldest() {
        std::free(slots[0].data);
        total -= slots[0].bytes;
        for (size_t i = 1; i < count; ++i) slots[i - 1] = slots[i];
        slots[--count] = {};
    }
};

block_cache kept_blocks;

block_cache& cache() { return kept_blocks; }

}  // namespace

void* take_big_block(size_t bytes) noexcept {
    if (bytes < big_block_minimum || bytes > big_block_budget) return nullptr;
    block_cache& kept = cache();
    std::lock_guard<std::mutex> guard(kept.lock);
    // The newest first: it is the most likely to be in the cache.
    for (size_t i = kept.count; i-- > 0;) {
        if (kept.slots[i].bytes != bytes) continue;
        void* data = kept.slots[i].data;
        kept.total -= bytes;
        for (size_t j = i + 1; j < kept.count; ++j) kept.slots[j - 1] = kept.slots[j];
        kept.slots[--kept.count] = {};
        return data;
    }
    return nullptr;
}

void give_back_big_block(void* data, size_t bytes) noexcept {
    if (data == nullptr) return;
    if (bytes < big_block_minimum || bytes > big_block_budget) {
        std::free(data);
        return;
    }
    block_cache& kept = cache();
    std::lock_guard<std::mutex> guard(kept.lock);
    while (kept.count > 0 && (kept.count == big_block_slots || kept.total + bytes > big_block_budget)) {
        kept.drop_oldest();
    }
    kept.slots[kept.count++] = {data, bytes};
    kept.total += bytes;
}

}  // namespace runtime
