// The exact member of the platform error family an exception is. The family
// has no virtual functions, so typeid of a caught base reference cannot tell.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "platform_error.h"

namespace qelmo::platform::testing {

inline std::string platform_error_name(std::exception_ptr thrown) {
#define QELMO_NAME_IF(type) \
    catch (const type&) {   \
        return #type;       \
    }
    try {
        std::rethrow_exception(thrown);
    }
    QELMO_NAME_IF(hresult_access_denied)
    QELMO_NAME_IF(hresult_wrong_thread)
    QELMO_NAME_IF(hresult_not_implemented)
    QELMO_NAME_IF(hresult_invalid_argument)
    QELMO_NAME_IF(hresult_out_of_bounds)
    QELMO_NAME_IF(hresult_no_interface)
    QELMO_NAME_IF(hresult_class_not_available)
    QELMO_NAME_IF(hresult_class_not_registered)
    QELMO_NAME_IF(hresult_changed_state)
    QELMO_NAME_IF(hresult_illegal_method_call)
    QELMO_NAME_IF(hresult_illegal_state_change)
    QELMO_NAME_IF(hresult_illegal_delegate_assignment)
    QELMO_NAME_IF(hresult_canceled)
    QELMO_NAME_IF(hresult_error)
    QELMO_NAME_IF(std::bad_alloc)
    catch (...) {
        return "something else";
    }
#undef QELMO_NAME_IF
}

}  // namespace qelmo::platform::testing
