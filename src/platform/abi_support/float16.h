// The element format of Float16 tensors, IEEE 754 binary16, to and from
// float: the runtime narrows every Float16 input element, the module widens
// every Float16 output element. Inline, so that the loops over elements
// inline them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mlabi {
namespace float16_bits {

inline uint32_t bits_of(float value) noexcept {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float float_of(uint32_t bits) noexcept {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Drops the low `shift` bits of `value`, rounding to nearest, ties to even.
inline uint32_t shift_right_rounding(uint32_t value, uint32_t shift) noexcept {
    const uint32_t kept = value >> shift;
    const uint32_t rest = value & ((1u << shift) - 1);
    const uint32_t halfway = 1u << (shift - 1);
    return kept + ((rest > halfway || (rest == halfway && (kept & 1))) ? 1 : 0);
}

}  // namespace float16_bits

// Rounds to the nearest half, ties to even; too large becomes infinity,
// too small becomes a subnormal or zero (sign kept); NaN stays NaN.
inline uint16_t float_to_half(float value) noexcept {
    using namespace float16_bits;
    const uint32_t bits = bits_of(value);
    const uint32_t sign = (bits >> 16) & 0x8000;
    const uint32_t magnitude = bits & 0x7FFFFFFF;
    const uint32_t exponent = magnitude >> 23;
    const uint32_t mantissa = magnitude & 0x7FFFFF;

    if (magnitude > 0x7F800000) {
        // NaN: keep the payload's top bits; a payload only in the dropped
        // bits must still leave a NaN, not infinity.
        const uint32_t payload = mantissa >> 13;
        return static_cast<uint16_t>(sign | 0x7C00 | (payload != 0 ? payload : 0x200));
    }
    // 65520 is halfway between the largest half (65504) and 65536; the tie
    // goes to the even neighbour, which is infinity.
    if (magnitude >= 0x477FF000) return static_cast<uint16_t>(sign | 0x7C00);
    if (exponent >= 113) {
        // Normal half: rebias the exponent; a rounding carry moves into it.
        const uint32_t unrounded = ((exponent - 112) << 23) | mantissa;
        return static_cast<uint16_t>(sign | shift_right_rounding(unrounded, 13));
    }
    // Below 2^-24 / 2 nothing survives.
    if (exponent < 102) return static_cast<uint16_t>(sign);
    // Subnormal half: units of 2^-24. The rounded value may become the
    // smallest normal (0x0400), which is also the right encoding.
    const uint32_t significand = mantissa | 0x800000;
    return static_cast<uint16_t>(sign | shift_right_rounding(significand, 126 - exponent));
}

// Exact: every half value is a float. Subnormals become normal floats,
// infinities stay infinities and NaNs keep their sign and payload (the
// quiet bit included).
inline float half_to_float(uint16_t half) noexcept {
    using namespace float16_bits;
    const uint32_t sign = static_cast<uint32_t>(half & 0x8000) << 16;
    const uint32_t exponent = (half >> 10) & 0x1F;
    const uint32_t mantissa = half & 0x3FF;
    if (exponent == 0) {
        // Zero or subnormal: mantissa * 2^-24, exact in single precision.
        const float magnitude = static_cast<float>(mantissa) * float_of(0x33800000);
        return float_of(sign | bits_of(magnitude));
    }
    if (exponent == 31) return float_of(sign | 0x7F800000 | (mantissa << 13));
    return float_of(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

inline void floats_to_halves(const float* from, uint16_t* to, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) to[i] = float_to_half(from[i]);
}

}  // namespace mlabi
