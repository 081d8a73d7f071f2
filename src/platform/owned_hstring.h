// A string the runtime handed out: owned by the receiver, released exactly
// once, on every path.
#pragma once

#include <string_view>
#include <utility>

#include "abi/hstring.h"

namespace qelmo::platform {

class owned_hstring {
public:
    owned_hstring() noexcept = default;
    ~owned_hstring() { reset(); }
    owned_hstring(const owned_hstring&) = delete;
    owned_hstring& operator=(const owned_hstring&) = delete;
    owned_hstring(owned_hstring&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    owned_hstring& operator=(owned_hstring&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, nullptr);
        }
        return *this;
    }

    // Releases what is held and exposes the slot as an out-parameter.
    mlabi::HSTRING* put() noexcept {
        reset();
        return &value_;
    }

    std::u16string_view view() const noexcept { return mlabi::hstring_view(value_); }

    void reset() noexcept { mlabi::delete_hstring(std::exchange(value_, nullptr)); }

private:
    mlabi::HSTRING value_ = nullptr;
};

}  // namespace qelmo::platform
