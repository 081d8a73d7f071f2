#include "runtime_error_message.h"

#include "abi/machine_learning.h"
#include "abi_support/com_ptr.h"
#include "abi_support/utf16_to_utf8.h"
#include "activation.h"
#include "owned_hstring.h"

namespace qelmo::platform {

std::shared_ptr<const std::string> take_runtime_error_message(mlabi::HRESULT code) noexcept {
    using namespace mlabi;
    try {
        auto read_error_info =
            reinterpret_cast<GetRestrictedErrorInfoFunction>(find_runtime_export("GetRestrictedErrorInfo"));
        if (read_error_info == nullptr) return nullptr;
        com_ptr<IRestrictedErrorInfo> info;
        if (read_error_info(info.put()) != S_OK || !info) return nullptr;
        owned_hstring description;
        HRESULT recorded = S_OK;
        if (failed(info->GetErrorDetails(description.put(), &recorded)) || recorded != code) return nullptr;
        if (description.view().empty()) return nullptr;
        return std::make_shared<const std::string>(utf16_to_utf8(description.view()));
    } catch (...) {
        return nullptr;
    }
}

}  // namespace qelmo::platform
