// Big copies split across threads: every byte arrives, nothing outside the
// target is written, whatever the size, the number of parts and the
// alignment of either side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "abi_support/parallel_copy.h"

namespace {

using mlabi::parallel_copy_detail::copy_in_parts;

constexpr unsigned char guard = 0xA5;
constexpr size_t margin = 128;

// Copies `bytes` between buffers offset by `skew` from their allocations and
// checks the copy and the guard bytes around it.
void check_copy(size_t bytes, size_t parts, size_t skew) {
    std::vector<unsigned char> source(bytes + skew + 1);  // never empty: memcmp takes no null
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>((i * 131 + 7) >> 3);
    std::vector<unsigned char> target(bytes + 2 * margin, guard);
    copy_in_parts(target.data() + margin - skew % 3, source.data() + skew, bytes, parts);
    const size_t start = margin - skew % 3;
    const auto untouched = [&](size_t from, size_t to) {
        return std::all_of(target.begin() + from, target.begin() + to, [](unsigned char b) { return b == guard; });
    };
    ASSERT_TRUE(untouched(0, start)) << bytes << " bytes in " << parts << " parts: written before the target";
    ASSERT_EQ(0, std::memcmp(target.data() + start, source.data() + skew, bytes)) << bytes << " bytes in " << parts
                                                                                  << " parts";
    ASSERT_TRUE(untouched(start + bytes, target.size())) << bytes << " bytes in " << parts
                                                         << " parts: written after the target";
}

TEST(ParallelCopy, EveryByteArrivesAndNothingAroundIsTouched) {
    // Sizes smaller than one cache line per part leave later parts empty;
    // the others end in a partial chunk.
    const size_t sizes[] = {0, 1, 63, 64, 65, 200, 4095, 64 * 8 + 1, (size_t{3} << 20) + 17};
    for (size_t bytes : sizes) {
        for (size_t parts : {0, 1, 2, 3, 7, 8, 64}) {
            for (size_t skew : {0, 1, 5}) check_copy(bytes, parts, skew);
        }
    }
}

}  // namespace
