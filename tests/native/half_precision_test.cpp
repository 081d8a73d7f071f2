// Float <-> half conversion: exact widening, round-to-nearest-even narrowing,
// overflow, subnormals and NaN, checked over every half value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "abi_support/float16.h"

namespace {

using mlabi::float_to_half;
using mlabi::half_to_float;

uint32_t bits(float value) {
    uint32_t out;
    std::memcpy(&out, &value, sizeof out);
    return out;
}

bool is_nan_half(uint16_t h) { return (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0; }

TEST(HalfPrecision, EveryHalfWidensExactlyAndNarrowsBack) {
    for (uint32_t h = 0; h <= 0xFFFF; ++h) {
        const auto half = static_cast<uint16_t>(h);
        const float wide = half_to_float(half);
        ASSERT_EQ(float_to_half(wide), half) << std::hex << h;
        if (!is_nan_half(half) && (half & 0x7C00) != 0x7C00) {
            // The value itself, computed independently of the bit layout.
            const int exponent = (half >> 10) & 0x1F;
            const double magnitude = exponent == 0 ? std::ldexp(half & 0x3FF, -24)
                                                   : std::ldexp(1024 + (half & 0x3FF), exponent - 25);
            ASSERT_EQ(static_cast<double>(wide), (half & 0x8000) ? -magnitude : magnitude) << std::hex << h;
        }
    }
}

// Between neighbours a and a+1, the exact midpoint goes to the even one and
// anything off the midpoint goes to the nearer one; covers normal and
// subnormal ranges and the carry into the next exponent.
TEST(HalfPrecision, RoundsToNearestTiesToEvenBetweenEveryPairOfNeighbours) {
    for (uint32_t h = 0; h < 0x7BFF; ++h) {
        const float low = half_to_float(static_cast<uint16_t>(h));
        const float high = half_to_float(static_cast<uint16_t>(h + 1));
        const float middle = (low + high) / 2;  // exact: halves have few mantissa bits
        const uint16_t even = (h & 1) == 0 ? h : h + 1;
        ASSERT_EQ(float_to_half(middle), even) << std::hex << h;
        ASSERT_EQ(float_to_half(std::nextafter(middle, 0.0f)), h) << std::hex << h;
        ASSERT_EQ(float_to_half(std::nextafter(middle, 1e9f)), h + 1) << std::hex << h;
        ASSERT_EQ(float_to_half(-middle), 0x8000 | even) << std::hex << h;
    }
}

TEST(HalfPrecision, OverflowBecomesInfinityAtTheRoundingBoundary) {
    EXPECT_EQ(float_to_half(65504.0f), 0x7BFF);
    EXPECT_EQ(float_to_half(std::nextafter(65520.0f, 0.0f)), 0x7BFF);
    EXPECT_EQ(float_to_half(65520.0f), 0x7C00);  // tie: the even neighbour is infinity
    EXPECT_EQ(float_to_half(1e10f), 0x7C00);
    EXPECT_EQ(float_to_half(-1e10f), 0xFC00);
    EXPECT_EQ(float_to_half(std::numeric_limits<float>::infinity()), 0x7C00);
    EXPECT_EQ(float_to_half(std::numeric_limits<float>::max()), 0x7C00);
}

TEST(HalfPrecision, TinyValuesBecomeSubnormalsOrSignedZero) {
    EXPECT_EQ(float_to_half(std::ldexp(1.0f, -24)), 0x0001);   // smallest subnormal
    EXPECT_EQ(float_to_half(std::ldexp(1.0f, -25)), 0x0000);   // tie with zero: even
    EXPECT_EQ(float_to_half(std::ldexp(1.5f, -25)), 0x0001);
    EXPECT_EQ(float_to_half(std::ldexp(3.0f, -25)), 0x0002);   // 1.5 units: tie goes to 2
    EXPECT_EQ(float_to_half(std::ldexp(1023.5f, -24)), 0x0400);  // rounds up into the normals
    EXPECT_EQ(float_to_half(std::numeric_limits<float>::denorm_min()), 0x0000);
    EXPECT_EQ(float_to_half(-std::numeric_limits<float>::denorm_min()), 0x8000);
    EXPECT_EQ(float_to_half(-0.0f), 0x8000);
}

TEST(HalfPrecision, NaNStaysNaNEvenWhenItsPayloadIsInTheDroppedBits) {
    EXPECT_TRUE(is_nan_half(float_to_half(std::numeric_limits<float>::quiet_NaN())));
    float low_payload_nan;
    const uint32_t pattern = 0x7F800001;  // payload only in the low 13 bits
    std::memcpy(&low_payload_nan, &pattern, sizeof pattern);
    EXPECT_TRUE(is_nan_half(float_to_half(low_payload_nan)));
    EXPECT_TRUE(std::isnan(half_to_float(0x7E00)));
    EXPECT_EQ(bits(half_to_float(0xFC00)), bits(-std::numeric_limits<float>::infinity()));
}

}  // namespace
