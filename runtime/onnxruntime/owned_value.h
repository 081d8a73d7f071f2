// One OrtValue, owned. An Ort::Value calls into ONNX Runtime whenever it is
// destroyed or assigned, even when empty, and the values made and read for
// every input and output of every evaluation pass through several hands; so
// they travel as this, free to move and to drop when empty, and are released
// as an Ort::Value. An array of these is an array of OrtValue pointers, which
// is what Run reads and fills.
#pragma once

#include <type_traits>
#include <utility>

#include "onnxruntime/onnxruntime_api.h"

namespace runtime {

class owned_value {
public:
    owned_value() = default;
    explicit owned_value(Ort::Value value) noexcept : value_(value.release()) {}
    owned_value(owned_value&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    owned_value& operator=(owned_value&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, nullptr);
        }
        return *this;
    }
    owned_value(const owned_value&) = delete;
    owned_value& operator=(const owned_value&) = delete;
    ~owned_value() { reset(); }

    explicit operator bool() const noexcept { return value_ != nullptr; }
    // A view for reading and writing it through the C++ API.
    Ort::UnownedValue view() const noexcept { return Ort::UnownedValue{value_}; }

    void reset() noexcept {
        if (value_ != nullptr) Ort::Value released{std::exchange(value_, nullptr)};
    }

private:
    OrtValue* value_ = nullptr;
};

static_assert(sizeof(owned_value) == sizeof(OrtValue*) && std::is_standard_layout_v<owned_value>,
              "an array of owned values must be an array of OrtValue pointers");

// The values' pointers, as Run takes them.
inline OrtValue* const* value_pointers(const owned_value* values) noexcept {
    return reinterpret_cast<OrtValue* const*>(values);
}
inline OrtValue** value_pointers(owned_value* values) noexcept { return reinterpret_cast<OrtValue**>(values); }

}  // namespace runtime
