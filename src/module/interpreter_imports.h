// Force-included into every source file of the module (see CMakeLists.txt).
//
// Each build refuses any interpreter but its own, in PyInit_qelmo, with
// "Python version mismatch: ...". On Linux the loader binds the module's
// interpreter functions before PyInit_qelmo runs, and a function that
// another supported CPython lacks would make it refuse the file first, with
// only "undefined symbol". These references are weak, so the file loads
// into every supported interpreter and the version guard gives its answer;
// in the interpreter the module was built for every one of them exists.
// tests/python/test_version_guard.py loads each build into every other
// supported interpreter: a function missing here makes it fail.
#pragma once

// Added in 3.11 (exported; inline before).
#pragma weak PyObject_Vectorcall
// Added in 3.13.
#pragma weak PyDict_GetItemStringRef
#pragma weak PyObject_ClearManagedDict
#pragma weak PyObject_VisitManagedDict
#pragma weak PyThreadState_GetUnchecked
// Gone in 3.12.
#pragma weak _PyUnicode_Ready
// Gone in 3.13.
#pragma weak _PyThreadState_UncheckedGet
