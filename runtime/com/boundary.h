// What every runtime method does at the binary boundary, where nothing may
// be thrown: results leave through out-parameters, failures as status codes
// with a readable message recorded for the calling thread (error_info.h).
#pragma once

#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "abi/machine_learning.h"
#include "abi_support/com_object.h"
#include "com/error_info.h"

namespace runtime {

using namespace mlabi;

// A failure on its way to the boundary: the status code and the message to
// record there.
class runtime_failure {
public:
    runtime_failure(HRESULT status, std::string message) : status_(status), message_(std::move(message)) {}
    HRESULT status() const noexcept { return status_; }
    const std::string& message() const noexcept { return message_; }

private:
    HRESULT status_;
    std::string message_;
};

// A message given as text, or as a callable that makes it (so that it costs
// nothing unless it is needed).
template <class Message>
std::string message_text(Message&& message) {
    if constexpr (std::is_invocable_v<Message>) {
        return std::forward<Message>(message)();
    } else {
        return std::string(std::forward<Message>(message));
    }
}

// Runs `body`, which returns a status code. A runtime_failure it throws is
// recorded as it says; any other exception becomes E_OUTOFMEMORY
// (std::bad_alloc) or E_FAIL, recorded with `out_of_memory` or `unexpected`
// (messages as message_text takes them).
template <class Body, class OutOfMemory, class Unexpected>
HRESULT at_boundary(OutOfMemory&& out_of_memory, Unexpected&& unexpected, Body&& body) noexcept {
    try {
        return body();
    } catch (const runtime_failure& failure) {
        return fail(failure.status(), failure.message());
    } catch (const std::bad_alloc&) {
        try {
            return fail(E_OUTOFMEMORY, message_text(out_of_memory));
        } catch (...) {
            return fail(E_OUTOFMEMORY, "out of memory");
        }
    } catch (...) {
        try {
            return fail(E_FAIL, message_text(unexpected));
        } catch (...) {
            return fail(E_FAIL, "unexpected failure");
        }
    }
}

// The answer of every method given a null out-parameter: recorded like any
// other failure, so that the caller's error says which mistake it made.
inline HRESULT null_out_parameter() noexcept { return fail(E_POINTER, "null out-parameter"); }

// An index past the end of a collection, recorded.
inline HRESULT index_out_of_range() noexcept { return fail(E_BOUNDS, "index out of range"); }

// Writes `value` into an out-parameter.
template <class T>
HRESULT hand_out_value(T value, T* out) noexcept {
    if (out == nullptr) return null_out_parameter();
    *out = value;
    return S_OK;
}

// Writes a new reference to `object` into an out-parameter.
template <class I, class T>
HRESULT hand_out(const com_ptr<T>& object, I** out) noexcept {
    if (out == nullptr) return null_out_parameter();
    *out = static_cast<I*>(object.get());
    if (*out != nullptr) (*out)->AddRef();
    return S_OK;
}

// A freshly made object as one of its interfaces; com_object::make answers
// null only when memory runs out.
template <class I, class T>
com_ptr<I> made_as(com_ptr<T> object) {
    if (!object) throw std::bad_alloc();
    return com_ptr<I>::attach(object.detach());
}

// Writes an owned copy of `text` into an out-parameter.
inline HRESULT hand_out_string(std::u16string_view text, HSTRING* out) noexcept {
    if (out == nullptr) return null_out_parameter();
    return create_hstring(text, out) ? S_OK : fail(E_OUTOFMEMORY, "out of memory copying a string");
}

}  // namespace runtime
