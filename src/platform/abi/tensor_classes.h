// The eleven tensor classes, listed once. Each entry reads
//
//   X(Interface, Class, Element, Kind, interface and statics identifier parts)
//
// Interface: the typed tensor interface (ITensorFloat, ...); Class: the
// runtime class, activated as "Windows.AI.MachineLearning.<Class>"; Element:
// the C++ type CreateFromArray takes; Kind: the TensorKind member. The
// identifier parts (d1, d2, d3 of the interface, s1, s2, s3 of its statics,
// and seven shared bytes) are only read by machine_learning.h; other users
// take them as `...`. Expand with QELMO_TENSOR_CLASSES(X).
#pragma once

// clang-format off
#define QELMO_TENSOR_CLASSES(X)                                                                                       \
    X(ITensorFloat, TensorFloat, float, Float,                                                                        \
      0xF2282D82, 0xAA02, 0x42C8, 0xDBF2, 0x4EF2, 0x8D31, 0xA0, 0x8E, 0x2B, 0x9E, 0x27, 0x73, 0x4C)                   \
    X(ITensorFloat16Bit, TensorFloat16Bit, float, Float16,                                                            \
      0x0AB994FC, 0x5B89, 0x4C3C, 0xA5E4, 0x4F3D, 0x9B91, 0xB1, 0x9F, 0x3C, 0xAF, 0x38, 0x84, 0x5D)                   \
    X(ITensorDouble, TensorDouble, double, Double,                                                                    \
      0x91E41252, 0x7A8F, 0x4F0E, 0xB6F5, 0x5A4E, 0xAC02, 0xC2, 0xA0, 0x4D, 0xB0, 0x49, 0x95, 0x6E)                   \
    X(ITensorInt8Bit, TensorInt8Bit, int8_t, Int8,                                                                    \
      0xCDDD97C5, 0xFFD8, 0x4617, 0xC706, 0x6B5F, 0xBD13, 0xD3, 0xB1, 0x5E, 0xC1, 0x5A, 0xA6, 0x7F)                   \
    X(ITensorUInt8Bit, TensorUInt8Bit, uint8_t, UInt8,                                                                \
      0x58E1AE27, 0x622B, 0x48E3, 0xD817, 0x7C60, 0xCE24, 0xE4, 0xC2, 0x6F, 0xD2, 0x6B, 0xB7, 0x80)                   \
    X(ITensorInt16Bit, TensorInt16Bit, int16_t, Int16,                                                                \
      0x98A32D39, 0xE6D6, 0x44AF, 0xE928, 0x8D71, 0xDF35, 0xF5, 0xD3, 0x70, 0xE3, 0x7C, 0xC8, 0x91)                   \
    X(ITensorUInt16Bit, TensorUInt16Bit, uint16_t, UInt16,                                                            \
      0x68140F4B, 0x23C0, 0x42F3, 0xFA39, 0x9E82, 0xE046, 0x06, 0xE4, 0x81, 0xF4, 0x8D, 0xD9, 0xA2)                   \
    X(ITensorInt32Bit, TensorInt32Bit, int32_t, Int32,                                                                \
      0x2C0C28D3, 0x207C, 0x4486, 0x0A4A, 0xAF93, 0xF157, 0x17, 0xF5, 0x92, 0x05, 0x9E, 0xEA, 0xB3)                   \
    X(ITensorUInt32Bit, TensorUInt32Bit, uint32_t, UInt32,                                                            \
      0xD8DFEC77, 0x59F2, 0x4D42, 0x1B5B, 0xB0A4, 0x0268, 0x28, 0x06, 0xA3, 0x16, 0xAF, 0xFB, 0xC4)                   \
    X(ITensorInt64Bit, TensorInt64Bit, int64_t, Int64,                                                                \
      0x499665BA, 0x1FA2, 0x45AD, 0x2C6C, 0xC1B5, 0x1379, 0x39, 0x17, 0xB4, 0x27, 0xB0, 0x0C, 0xD5)                   \
    X(ITensorUInt64Bit, TensorUInt64Bit, uint64_t, UInt64,                                                            \
      0x2E70FFAD, 0x04BF, 0x4825, 0x3D7D, 0xD2C6, 0x248A, 0x4A, 0x28, 0xC5, 0x38, 0xC1, 0x1D, 0xE6)
// clang-format on
