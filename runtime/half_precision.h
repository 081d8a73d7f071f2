// IEEE 754 half precision (binary16) <-> single precision.
#pragma once

#include <cstddef>
#include <cstdint>

namespace runtime {

// Rounds to the nearest half, ties to even; too large becomes infinity,
// too small becomes a subnormal or zero (sign kept); NaN stays NaN.
uint16_t float_to_half(float value) noexcept;

// Exact: every half value is a float.
float half_to_float(uint16_t half) noexcept;

void floats_to_halves(const float* from, uint16_t* to, size_t count) noexcept;

}  // namespace runtime
