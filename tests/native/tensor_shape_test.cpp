// tensor_shape: dimensions kept inline up to eight, on the heap beyond, the
// same either way to its users.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "classes/tensor_shape.h"

namespace {

using runtime::tensor_shape;

std::vector<int64_t> counting(size_t count) {
    std::vector<int64_t> dims(count);
    for (size_t i = 0; i < count; ++i) dims[i] = static_cast<int64_t>(i + 1);
    return dims;
}

TEST(TensorShape, AppendsAcrossTheInlineLimit) {
    for (size_t first : {0u, 3u, 8u, 9u}) {
        for (size_t second : {0u, 1u, 5u, 12u}) {
            const std::vector<int64_t> all = counting(first + second);
            tensor_shape shape;
            shape.append(all.data(), first);
            for (size_t i = first; i < all.size(); ++i) shape.push_back(all[i]);
            EXPECT_EQ(shape.to_vector(), all) << first << " then " << second;
        }
    }
}

TEST(TensorShape, ResizesBothWaysAndZeroesNewDimensions) {
    tensor_shape shape;
    const std::vector<int64_t> six = counting(6);
    shape.append(six.data(), six.size());
    shape.resize(10);
    EXPECT_EQ(shape.to_vector(), (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 0, 0, 0, 0}));
    shape.resize(2);
    EXPECT_EQ(shape.to_vector(), (std::vector<int64_t>{1, 2}));
    shape.resize(4);
    EXPECT_EQ(shape.to_vector(), (std::vector<int64_t>{1, 2, 0, 0}));
}

TEST(TensorShape, MovesLeaveTheSourceEmpty) {
    for (size_t count : {2u, 11u}) {
        tensor_shape shape;
        const std::vector<int64_t> dims = counting(count);
        shape.append(dims.data(), dims.size());
        tensor_shape moved(std::move(shape));
        EXPECT_EQ(moved.to_vector(), dims);
        EXPECT_TRUE(shape.empty());
        tensor_shape assigned;
        assigned = std::move(moved);
        EXPECT_EQ(assigned.to_vector(), dims);
    }
}

}  // namespace
