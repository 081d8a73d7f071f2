#include "failure_note.h"

#include <cstdint>
#include <cstdio>

namespace qelmo::platform {
namespace {

// Codes that reach the user without a runtime message: they come from
// activation or the system rather than from a runtime method.
const char* known_meaning(mlabi::HRESULT code) {
    using namespace mlabi;
    switch (code) {
        case CLASS_E_CLASSNOTAVAILABLE:
        case REGDB_E_CLASSNOTREG:
            return "the machine-learning runtime library could not be loaded or does not offer this class";
        case RPC_E_CHANGED_MODE: return "the thread already belongs to a single-threaded apartment";
        case CO_E_NOTINITIALIZED: return "the thread belongs to no apartment";
        case E_NOINTERFACE: return "the runtime object lacks an interface the module needs";
        case E_NOTIMPL: return "the runtime does not implement this operation";
        case E_FILE_NOT_FOUND: return "file not found";
        case E_ACCESSDENIED: return "access denied";
        case E_INVALIDARG: return "invalid argument";
        default: return nullptr;
    }
}

}  // namespace

std::string failure_note(const hresult_error& error) {
    char code[32];
    std::snprintf(code, sizeof code, "status 0x%08X", static_cast<unsigned>(static_cast<uint32_t>(error.code())));
    std::string note(code);
    if (!error.message().empty()) {
        note += ": ";
        note += error.message();
    } else if (const char* meaning = known_meaning(error.code())) {
        note += ": ";
        note += meaning;
    }
    return note;
}

}  // namespace qelmo::platform
