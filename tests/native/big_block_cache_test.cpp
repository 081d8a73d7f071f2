// The cache of freed big tensor buffers: only exact sizes come back, each
// buffer at most once, and what it keeps stays within its bounds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "memory/big_block_cache.h"

namespace {

using namespace runtime;

constexpr size_t MiB = size_t{1} << 20;

void* fresh(size_t bytes) { return std::aligned_alloc(2 * MiB, bytes); }

TEST(BigBlockCache, HandsBackAKeptBufferOnceAndOnlyForItsSize) {
    void* block = fresh(10 * MiB);
    give_back_big_block(block, 10 * MiB);
    EXPECT_EQ(take_big_block(12 * MiB), nullptr);
    EXPECT_EQ(take_big_block(10 * MiB), block);
    EXPECT_EQ(take_big_block(10 * MiB), nullptr);
    give_back_big_block(block, 10 * MiB);
    std::free(take_big_block(10 * MiB));

    // Too small or bigger than the whole budget: freed, never kept.
    give_back_big_block(fresh(2 * MiB), 2 * MiB);
    EXPECT_EQ(take_big_block(2 * MiB), nullptr);
}

TEST(BigBlockCache, DropsTheOldestBeyondItsSlotsAndBudget) {
    std::vector<void*> blocks;
    for (size_t i = 0; i <= big_block_slots; ++i) {
        blocks.push_back(fresh(14 * MiB));
        give_back_big_block(blocks.back(), 14 * MiB);
    }
    size_t back = 0;
    while (void* block = take_big_block(14 * MiB)) {
        EXPECT_NE(block, blocks.front());  // the oldest was freed
        std::free(block);
        ++back;
    }
    EXPECT_EQ(back, big_block_slots);

    const size_t half = big_block_budget / 2 + 2 * MiB;
    void* first = fresh(half);
    void* second = fresh(half);
    give_back_big_block(first, half);
    give_back_big_block(second, half);  // both would exceed the budget
    EXPECT_EQ(take_big_block(half), second);
    EXPECT_EQ(take_big_block(half), nullptr);
    std::free(second);
}

}  // namespace
