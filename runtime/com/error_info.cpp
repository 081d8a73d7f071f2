#include "com/error_info.h"

#include <string>

#include "com/boundary.h"
#include "com/text.h"

namespace runtime {
namespace {

struct error_record {
    HRESULT error = S_OK;
    std::u16string description;
};

thread_local error_record last_error;

class RestrictedErrorInfo : public com_object<RestrictedErrorInfo, IRestrictedErrorInfo> {
public:
    RestrictedErrorInfo(HRESULT error, std::u16string description)
        : error_(error), description_(std::move(description)) {}

    HRESULT GetErrorDetails(HSTRING* description, HRESULT* error) override {
        if (description == nullptr || error == nullptr) return null_out_parameter();
        *error = error_;
        return hand_out_string(description_, description);
    }

private:
    HRESULT error_;
    std::u16string description_;
};

}  // namespace

HRESULT fail(HRESULT error, std::string_view message) noexcept {
    try {
        last_error.error = error;
        last_error.description = utf8_to_utf16(message);
    } catch (...) {
        last_error.description.clear();
    }
    return error;
}

void clear_error() noexcept {
    last_error.error = S_OK;
    last_error.description.clear();
}

}  // namespace runtime

extern "C" __attribute__((visibility("default"))) mlabi::HRESULT GetRestrictedErrorInfo(mlabi::IRestrictedErrorInfo** info) {
    using namespace runtime;
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (last_error.error == S_OK) return S_FALSE;
    auto record = RestrictedErrorInfo::make(last_error.error, std::move(last_error.description));
    clear_error();
    if (!record) return E_OUTOFMEMORY;
    *info = record.detach();
    return S_OK;
}
