// The contract's declarations live in `qelmo_abi`; code spells them `abi::`.
//
// The C++ runtime's <cxxabi.h> (included by pybind11, among others) already
// claims the global name `abi` as an alias of its own namespace, so a plain
// `namespace abi` cannot coexist with it. Where that header exists we include
// it and make the contract visible through that alias; elsewhere `abi` is our
// own alias.
#pragma once

namespace qelmo_abi {}

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
namespace __cxxabiv1 {
using namespace ::qelmo_abi;
}
#else
namespace abi = ::qelmo_abi;
#endif
