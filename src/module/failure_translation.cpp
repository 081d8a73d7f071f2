#include "module/failure_translation.h"

#include <pybind11/pybind11.h>

#include "platform/failure_note.h"
#include "platform/platform_error.h"

namespace py = pybind11;

namespace qelmo {
namespace {

constexpr const char* unknown_exception_text = "Caught an unknown exception!";

// Raises RuntimeError with the fixed text and `note` attached the way
// PEP 678 does (add_note from Python 3.11, a __notes__ list before).
void raise_with_note(const std::string& note) {
    try {
        py::object error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(unknown_exception_text);
        if (py::hasattr(error, "add_note")) {
            error.attr("add_note")(py::str(note));
        } else {
            py::list notes;
            notes.append(py::str(note));
            error.attr("__notes__") = notes;
        }
        PyErr_SetObject(PyExc_RuntimeError, error.ptr());
    } catch (py::error_already_set&) {
        // Building the note failed (memory, most likely): the bare error
        // still tells the caller that the call failed.
        PyErr_SetString(PyExc_RuntimeError, unknown_exception_text);
    }
}

}  // namespace

void register_failure_translation() {
    py::register_local_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const platform::hresult_error& error) {
            std::string note;
            try {
                note = platform::failure_note(error);
            } catch (const std::bad_alloc&) {
                PyErr_SetString(PyExc_RuntimeError, unknown_exception_text);
                return;
            }
            raise_with_note(note);
        }
    });
}

}  // namespace qelmo
