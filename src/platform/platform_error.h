// Failing status codes as C++ errors. The family is deliberately not derived
// from std::exception: the binding layer reports it to Python as
// RuntimeError "Caught an unknown exception!", with the code and the
// runtime's message attached as a note.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "abi/unknown.h"

namespace qelmo::platform {

class hresult_error {
public:
    // The message is shared so that copying the error, as throwing does,
    // cannot fail.
    explicit hresult_error(mlabi::HRESULT code, std::shared_ptr<const std::string> message = nullptr) noexcept
        : code_(code), message_(std::move(message)) {}
    mlabi::HRESULT code() const noexcept { return code_; }
    // What the runtime said about the failure (UTF-8), or empty.
    const std::string& message() const noexcept {
        static const std::string none;
        return message_ ? *message_ : none;
    }

private:
    mlabi::HRESULT code_;
    std::shared_ptr<const std::string> message_;
};

#define QELMO_HRESULT_ERROR(name)                                                                   \
    class name : public hresult_error {                                                             \
    public:                                                                                         \
        explicit name(mlabi::HRESULT code, std::shared_ptr<const std::string> message = nullptr) noexcept \
            : hresult_error(code, std::move(message)) {}                                            \
    };
QELMO_HRESULT_ERROR(hresult_access_denied)
QELMO_HRESULT_ERROR(hresult_wrong_thread)
QELMO_HRESULT_ERROR(hresult_not_implemented)
QELMO_HRESULT_ERROR(hresult_invalid_argument)
QELMO_HRESULT_ERROR(hresult_out_of_bounds)
QELMO_HRESULT_ERROR(hresult_no_interface)
QELMO_HRESULT_ERROR(hresult_class_not_available)
QELMO_HRESULT_ERROR(hresult_class_not_registered)
QELMO_HRESULT_ERROR(hresult_changed_state)
QELMO_HRESULT_ERROR(hresult_illegal_method_call)
QELMO_HRESULT_ERROR(hresult_illegal_state_change)
QELMO_HRESULT_ERROR(hresult_illegal_delegate_assignment)
QELMO_HRESULT_ERROR(hresult_canceled)
#undef QELMO_HRESULT_ERROR

// Throws the error selected by a failing code, carrying the message the
// runtime recorded for it; E_OUTOFMEMORY throws std::bad_alloc.
[[noreturn]] void throw_hresult(mlabi::HRESULT code);

// Does nothing for a success code; throws for a failing one. Every runtime
// call of the module is followed by it.
inline void check_status(mlabi::HRESULT code) {
    if (code < 0) throw_hresult(code);
}

}  // namespace qelmo::platform
