// Raw access to a tensor's storage.
#pragma once

#include "abi/unknown.h"

namespace mlabi {

struct IMemoryBufferReference : IUnknown {
    static constexpr GUID iid{0xFBC4DD29, 0x245B, 0x11E4, {0xAF, 0x98, 0x68, 0x94, 0x23, 0x26, 0x0C, 0xF8}};
    virtual HRESULT get_Capacity(uint32_t* capacity) = 0;
};

struct IMemoryBuffer : IUnknown {
    static constexpr GUID iid{0xFBC4DD2A, 0x245B, 0x11E4, {0xAF, 0x98, 0x68, 0x94, 0x23, 0x26, 0x0C, 0xF8}};
    virtual HRESULT CreateReference(IMemoryBufferReference** reference) = 0;
};

// Offered by a buffer reference: the storage's address and its size in bytes.
struct IMemoryBufferByteAccess : IUnknown {
    static constexpr GUID iid{0x5B0D3235, 0x4DBA, 0x4D44, {0x86, 0x5E, 0x8F, 0x1D, 0x0E, 0x4F, 0xD0, 0x4D}};
    virtual HRESULT GetBuffer(uint8_t** value, uint32_t* capacity) = 0;
};

}  // namespace mlabi
