#include "platform_error.h"

#include <new>

#include "runtime_error_message.h"

namespace qelmo::platform {

void throw_hresult(mlabi::HRESULT code) {
    using namespace mlabi;
    // Taken for every code so that no stale record outlives its failure.
    std::shared_ptr<const std::string> message = take_runtime_error_message(code);
    switch (code) {
        case E_OUTOFMEMORY: throw std::bad_alloc();
        case E_ACCESSDENIED: throw hresult_access_denied(code, std::move(message));
        case RPC_E_WRONG_THREAD: throw hresult_wrong_thread(code, std::move(message));
        case E_NOTIMPL: throw hresult_not_implemented(code, std::move(message));
        case E_INVALIDARG: throw hresult_invalid_argument(code, std::move(message));
        case E_BOUNDS: throw hresult_out_of_bounds(code, std::move(message));
        case E_NOINTERFACE: throw hresult_no_interface(code, std::move(message));
        case CLASS_E_CLASSNOTAVAILABLE: throw hresult_class_not_available(code, std::move(message));
        case REGDB_E_CLASSNOTREG: throw hresult_class_not_registered(code, std::move(message));
        case E_CHANGED_STATE: throw hresult_changed_state(code, std::move(message));
        case E_ILLEGAL_METHOD_CALL: throw hresult_illegal_method_call(code, std::move(message));
        case E_ILLEGAL_STATE_CHANGE: throw hresult_illegal_state_change(code, std::move(message));
        case E_ILLEGAL_DELEGATE_ASSIGNMENT: throw hresult_illegal_delegate_assignment(code, std::move(message));
        case E_CANCELLED: throw hresult_canceled(code, std::move(message));
        default: throw hresult_error(code, std::move(message));
    }
}

}  // namespace qelmo::platform
