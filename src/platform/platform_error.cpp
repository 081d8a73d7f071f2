#include "platform_error.h"

#include <new>

namespace qelmo::platform {

void throw_hresult(mlabi::HRESULT code) {
    using namespace mlabi;
    switch (code) {
        case E_OUTOFMEMORY: throw std::bad_alloc();
        case E_ACCESSDENIED: throw hresult_access_denied(code);
        case RPC_E_WRONG_THREAD: throw hresult_wrong_thread(code);
        case E_NOTIMPL: throw hresult_not_implemented(code);
        case E_INVALIDARG: throw hresult_invalid_argument(code);
        case E_BOUNDS: throw hresult_out_of_bounds(code);
        case E_NOINTERFACE: throw hresult_no_interface(code);
        case CLASS_E_CLASSNOTAVAILABLE: throw hresult_class_not_available(code);
        case REGDB_E_CLASSNOTREG: throw hresult_class_not_registered(code);
        case E_CHANGED_STATE: throw hresult_changed_state(code);
        case E_ILLEGAL_METHOD_CALL: throw hresult_illegal_method_call(code);
        case E_ILLEGAL_STATE_CHANGE: throw hresult_illegal_state_change(code);
        case E_ILLEGAL_DELEGATE_ASSIGNMENT: throw hresult_illegal_delegate_assignment(code);
        case E_CANCELLED: throw hresult_canceled(code);
        default: throw hresult_error(code);
    }
}

}  // namespace qelmo::platform
