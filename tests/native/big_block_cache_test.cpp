// The cache of freed big tensor buffers: only exact sizes come back, each
// buffer at most once, and what it keeps stays within its bounds; buffers
// used again are page-locked once, and unlocked before they are freed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <vector>

#include "memory/big_block_cache.h"
#include "memory/page_locking.h"

namespace {

using namespace runtime;

constexpr size_t MiB = size_t{1} << 20;

void* fresh(size_t bytes) { return std::aligned_alloc(2 * MiB, bytes); }

// The cache as plain CPU code sees it: nothing is locked.
void* take(size_t bytes) {
    bool locked = true;
    void* block = take_big_block(bytes, locked);
    EXPECT_FALSE(locked);
    return block;
}
void give_back(void* block, size_t bytes) { give_back_big_block(block, bytes, false); }

TEST(BigBlockCache, HandsBackAKeptBufferOnceAndOnlyForItsSize) {
    void* block = fresh(10 * MiB);
    give_back(block, 10 * MiB);
    EXPECT_EQ(take(12 * MiB), nullptr);
    EXPECT_EQ(take(10 * MiB), block);
    EXPECT_EQ(take(10 * MiB), nullptr);
    give_back(block, 10 * MiB);
    std::free(take(10 * MiB));

    // Too small or bigger than the whole budget: freed, never kept.
    give_back(fresh(2 * MiB), 2 * MiB);
    EXPECT_EQ(take(2 * MiB), nullptr);
}

TEST(BigBlockCache, DropsTheOldestBeyondItsSlotsAndBudget) {
    std::vector<void*> blocks;
    for (size_t i = 0; i <= big_block_slots; ++i) {
        blocks.push_back(fresh(14 * MiB));
        give_back(blocks.back(), 14 * MiB);
    }
    size_t back = 0;
    while (void* block = take(14 * MiB)) {
        EXPECT_NE(block, blocks.front());  // the oldest was freed
        std::free(block);
        ++back;
    }
    EXPECT_EQ(back, big_block_slots);

    const size_t half = big_block_budget / 2 + 2 * MiB;
    void* first = fresh(half);
    void* second = fresh(half);
    give_back(first, half);
    give_back(second, half);  // both would exceed the budget
    EXPECT_EQ(take(half), second);
    EXPECT_EQ(take(half), nullptr);
    std::free(second);
}

// A stand-in for the CUDA runtime's page locking that records its calls.
struct locking_record {
    std::set<void*> locked;
    int locks = 0;
    int unlocks = 0;
    bool refuse = false;
};
locking_record record;

int record_lock(void* data, size_t, unsigned) {
    if (record.refuse) return 1;
    EXPECT_TRUE(record.locked.insert(data).second) << "locked twice";
    ++record.locks;
    return 0;
}
int record_unlock(void* data) {
    EXPECT_EQ(record.locked.erase(data), 1u) << "unlocked without a lock";
    ++record.unlocks;
    return 0;
}

TEST(BigBlockCache, LocksBuffersUsedAgainAndUnlocksThemBeforeFreeing) {
    enable_page_locking(record_lock, record_unlock);
    record = {};
    bool locked = true;
    void* block = fresh(10 * MiB);
    give_back_big_block(block, 10 * MiB, false);
    ASSERT_EQ(take_big_block(10 * MiB, locked), block);  // used a second time: locked
    EXPECT_TRUE(locked);
    give_back_big_block(block, 10 * MiB, locked);
    ASSERT_EQ(take_big_block(10 * MiB, locked), block);  // already locked: not again
    EXPECT_TRUE(locked);
    EXPECT_EQ(record.locks, 1);

    // Freed by the cache, for being too big or dropped as the oldest: unlocked first.
    void* big = fresh(big_block_budget + 2 * MiB);
    ASSERT_TRUE(lock_pages(big, big_block_budget + 2 * MiB));
    give_back_big_block(big, big_block_budget + 2 * MiB, true);
    give_back_big_block(block, 10 * MiB, true);
    for (size_t i = 0; i < big_block_slots; ++i) give_back_big_block(fresh(12 * MiB), 12 * MiB, false);
    EXPECT_EQ(take_big_block(10 * MiB, locked), nullptr);
    EXPECT_TRUE(record.locked.empty());
    EXPECT_EQ(record.unlocks, 2);

    // A refusal stops locking: the next reused buffer is handed out as it is.
    record.refuse = true;
    void* reused = take_big_block(12 * MiB, locked);
    ASSERT_NE(reused, nullptr);
    EXPECT_FALSE(locked);
    record.refuse = false;
    give_back_big_block(reused, 12 * MiB, locked);
    reused = take_big_block(12 * MiB, locked);
    EXPECT_FALSE(locked);
    EXPECT_EQ(record.locks, 2);  // the buffer locked by hand above
    std::free(reused);
    while (void* left = take_big_block(12 * MiB, locked)) std::free(left);
    enable_page_locking(nullptr, nullptr);
}

}  // namespace
