// check_status: which error each failing status code becomes.
#include <gtest/gtest.h>

#include <new>

#include "platform_error.h"
#include "platform_error_name.h"

namespace {

using namespace qelmo::platform;
using qelmo::platform::testing::platform_error_name;

struct status_case {
    mlabi::HRESULT code;
    const char* error;
};

const status_case table[] = {
    {mlabi::E_ACCESSDENIED, "hresult_access_denied"},
    {mlabi::RPC_E_WRONG_THREAD, "hresult_wrong_thread"},
    {mlabi::E_NOTIMPL, "hresult_not_implemented"},
    {mlabi::E_INVALIDARG, "hresult_invalid_argument"},
    {mlabi::E_BOUNDS, "hresult_out_of_bounds"},
    {mlabi::E_NOINTERFACE, "hresult_no_interface"},
    {mlabi::CLASS_E_CLASSNOTAVAILABLE, "hresult_class_not_available"},
    {mlabi::REGDB_E_CLASSNOTREG, "hresult_class_not_registered"},
    {mlabi::E_CHANGED_STATE, "hresult_changed_state"},
    {mlabi::E_ILLEGAL_METHOD_CALL, "hresult_illegal_method_call"},
    {mlabi::E_ILLEGAL_STATE_CHANGE, "hresult_illegal_state_change"},
    {mlabi::E_ILLEGAL_DELEGATE_ASSIGNMENT, "hresult_illegal_delegate_assignment"},
    {mlabi::E_CANCELLED, "hresult_canceled"},
    // Everything else is the base error itself.
    {mlabi::E_FAIL, "hresult_error"},
    {mlabi::E_POINTER, "hresult_error"},
    {mlabi::E_FILE_NOT_FOUND, "hresult_error"},
    {mlabi::E_INVALID_MODEL, "hresult_error"},
    {mlabi::RPC_E_CHANGED_MODE, "hresult_error"},
    {mlabi::CO_E_NOTINITIALIZED, "hresult_error"},
    {mlabi::status(0x80000000), "hresult_error"},
    {mlabi::status(0xFFFFFFFF), "hresult_error"},
};

TEST(CheckStatus, EachFailingCodeRaisesItsErrorCarryingTheCode) {
    for (const status_case& c : table) {
        SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << static_cast<uint32_t>(c.code));
        try {
            check_status(c.code);
            ADD_FAILURE() << "no error raised";
        } catch (const hresult_error& error) {
            EXPECT_EQ(platform_error_name(std::current_exception()), c.error);
            EXPECT_EQ(error.code(), c.code);
        }
    }
}

TEST(CheckStatus, OutOfMemoryIsTheStandardAllocationError) {
    EXPECT_THROW(check_status(mlabi::E_OUTOFMEMORY), std::bad_alloc);
}

TEST(CheckStatus, PlatformErrorsAreNotStandardExceptions) {
    // The binding layer relies on this to report them as unknown exceptions.
    try {
        check_status(mlabi::E_INVALIDARG);
    } catch (const std::exception&) {
        FAIL() << "a platform error derives from std::exception";
    } catch (const hresult_error&) {
    }
}

TEST(CheckStatus, SuccessCodesPass) {
    for (mlabi::HRESULT code : {mlabi::S_OK, mlabi::S_FALSE, mlabi::status(2), mlabi::status(0x7FFFFFFF)}) {
        EXPECT_NO_THROW(check_status(code)) << code;
    }
}

}  // namespace
