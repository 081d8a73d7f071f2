// Binary contract between the qelmo module and the machine-learning runtime:
// status codes, interface identifiers and the root interfaces. Both binaries
// include these headers; neither includes the other's implementation.
#pragma once

#include <cstdint>
#include <cstring>

namespace mlabi {

using HRESULT = int32_t;

constexpr HRESULT status(uint32_t code) { return static_cast<HRESULT>(code); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = status(0x80004001);
constexpr HRESULT E_NOINTERFACE = status(0x80004002);
constexpr HRESULT E_POINTER = status(0x80004003);
constexpr HRESULT E_FAIL = status(0x80004005);
constexpr HRESULT E_UNEXPECTED = status(0x8000FFFF);
constexpr HRESULT E_BOUNDS = status(0x8000000B);
constexpr HRESULT E_CHANGED_STATE = status(0x8000000C);
constexpr HRESULT E_ILLEGAL_STATE_CHANGE = status(0x8000000D);
constexpr HRESULT E_ILLEGAL_METHOD_CALL = status(0x8000000E);
constexpr HRESULT E_ILLEGAL_DELEGATE_ASSIGNMENT = status(0x80000018);
constexpr HRESULT E_ACCESSDENIED = status(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = status(0x8007000E);
constexpr HRESULT E_INVALIDARG = status(0x80070057);
constexpr HRESULT E_FILE_NOT_FOUND = status(0x80070002);   // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
constexpr HRESULT E_CANCELLED = status(0x800704C7);
constexpr HRESULT RPC_E_CHANGED_MODE = status(0x80010106);
constexpr HRESULT RPC_E_WRONG_THREAD = status(0x8001010E);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = status(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = status(0x80040154);
constexpr HRESULT CO_E_NOTINITIALIZED = status(0x800401F0);
// The file was read but is not an ONNX model the runtime understands
// (ERROR_INVALID_DATA as a status code).
constexpr HRESULT E_INVALID_MODEL = status(0x8007000D);

constexpr bool failed(HRESULT hr) { return hr < 0; }
constexpr bool succeeded(HRESULT hr) { return hr >= 0; }

struct GUID {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// Interfaces are pure abstract structs with no virtual destructor, so that
// their vtables are plain arrays of function pointers in declaration order.
struct IUnknown {
    static constexpr GUID iid{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT QueryInterface(const GUID& iid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
};

// Marker: an object offering it may be used from any thread.
struct IAgileObject : IUnknown {
    static constexpr GUID iid{0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
};

// What DllGetActivationFactory hands out; callers query it for the
// statics or factory interface they need.
struct IActivationFactory : IUnknown {
    static constexpr GUID iid{0x00000035, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT ActivateInstance(IUnknown** instance) = 0;
};

}  // namespace mlabi
