// IEEE 754 binary16 -> binary32, exactly.
#pragma once

#include <cstdint>
#include <cstring>

namespace qelmo {

// Every half value is representable as a float, so the widening is exact:
// subnormals become normal floats, infinities stay infinities and NaNs keep
// their sign and payload (the quiet bit included).
inline float widen_half(uint16_t half) noexcept {
    const uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
    const uint32_t exponent = (half >> 10) & 0x1Fu;
    uint32_t mantissa = half & 0x3FFu;
    uint32_t bits;
    if (exponent == 0x1Fu) {
        bits = sign | 0x7F800000u | (mantissa << 13);
    } else if (exponent != 0) {
        bits = sign | ((exponent + (127 - 15)) << 23) | (mantissa << 13);
    } else if (mantissa == 0) {
        bits = sign;
    } else {
        // Subnormal: shift the leading one up to the implicit bit position.
        uint32_t shifts = 0;
        while ((mantissa & 0x400u) == 0) {
            mantissa <<= 1;
            ++shifts;
        }
        bits = sign | ((127 - 15 + 1 - shifts) << 23) | ((mantissa & 0x3FFu) << 13);
    }
    float result;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

}  // namespace qelmo
