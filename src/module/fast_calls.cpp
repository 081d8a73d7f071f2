// pybind11's generic dispatch (an argument tuple, a bound method object, the
// overload loop, type lookups by typeid, a heap vector of arguments) costs
// several times the work of the small calls a user repeats per input on every
// evaluation, and its map caster looks the value type up by typeid for every
// output. Each fast path here takes only the plain case: positional
// arguments of the expected classes, a one-byte-per-character name, a value
// built from exactly a QelmoValue. Everything else goes to the pybind11
// function it stands in front of, so overload errors, keyword use and
// failures behave as before. One difference: an instance whose __init__
// never ran is refused with TypeError, where pybind11 would call the method
// on a null object.
#include "module/fast_calls.h"

#include <pybind11/numpy.h>

#include <memory>
#include <string>

#include "session/qelmo_session.h"
#include "tensor/qelmo_value.h"

// What follows reads pybind11's instance layout (simple_layout,
// simple_value_holder, simple_holder_constructed), builds holders through
// value_and_holder, and calls make_new_instance, get_type_info and
// try_translate_exceptions, all internals of pybind11 2.13 (whose internals
// are version 4 before Python 3.12 and 5 from it). Another release may lay
// them out differently: check this file against it before changing the pin
// (here, in CMakeLists.txt and in pyproject.toml).
static_assert(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR == 13,
              "fast_calls.cpp is written for pybind11 2.13's internals");
static_assert(PYBIND11_INTERNALS_VERSION == 4 || PYBIND11_INTERNALS_VERSION == 5,
              "fast_calls.cpp is written for pybind11 internals versions 4 and 5");

namespace py = pybind11;

namespace qelmo {
namespace {

// Filled once at import, kept for the life of the process.
PyTypeObject* value_type = nullptr;
PyTypeObject* session_type = nullptr;
const py::detail::type_info* value_type_info = nullptr;
initproc pybind11_value_init = nullptr;
PyObject* pybind11_to_numpy = nullptr;
PyObject* pybind11_set_input = nullptr;
PyObject* pybind11_evaluate = nullptr;
PyObject* pybind11_value_init_function = nullptr;

// The native object of an instance of `type` or of a Python subclass; null
// for other objects and for layouts with several native bases, which the
// caller leaves to pybind11. `*unmade` tells an instance whose __init__
// never ran (made with __new__ alone): it has no native object.
template <class T>
T* native_of(PyObject* object, PyTypeObject* type, bool* unmade) {
    *unmade = false;
    if (!PyObject_TypeCheck(object, type)) return nullptr;
    auto* instance = reinterpret_cast<py::detail::instance*>(object);
    if (!instance->simple_layout) return nullptr;
    *unmade = !instance->simple_holder_constructed || instance->simple_value_holder[0] == nullptr;
    return *unmade ? nullptr : static_cast<T*>(instance->simple_value_holder[0]);
}

// pybind11 would call the method on a null object; refuse instead.
PyObject* refuse_unmade(PyTypeObject* type) {
    PyErr_Format(PyExc_TypeError, "this %s was never initialised: its __init__ did not run", type->tp_name);
    return nullptr;
}

// Calls the replaced pybind11 function with `self` prepended.
PyObject* call_pybind11(PyObject* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    const Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    std::unique_ptr<PyObject*[]> all(new (std::nothrow) PyObject*[total + 1]);
    if (!all) return PyErr_NoMemory();
    all[0] = self;
    for (Py_ssize_t i = 0; i < total; ++i) all[i + 1] = args[i];
    return PyObject_Vectorcall(function, all.get(), static_cast<size_t>(nargs + 1), kwnames);
}

// Makes `value` the native object of `instance` and constructs its holder.
// The instance is not entered in pybind11's registry of instances by
// address: that registry only finds the Python object of a C++ object
// returned by reference, which never happens for values, and entering and
// later removing each value cost a hash-map node per value.
void adopt(py::detail::instance* instance, std::unique_ptr<QelmoValue> value) noexcept {
    py::detail::value_and_holder slot = instance->get_value_and_holder(value_type_info);
    slot.value_ptr() = value.get();
    new (&slot.holder<std::unique_ptr<QelmoValue>>()) std::unique_ptr<QelmoValue>(std::move(value));
    slot.set_holder_constructed();
}

// Whether `object` is a numpy array. Asking imports numpy on first use, and
// that can fail (no numpy, a broken install): the error is left set for the
// caller, as pybind11's own path leaves it, and never thrown out of the C
// callback, which would end the process.
bool is_array(PyObject* object, bool* failed) {
    *failed = false;
    try {
        return py::isinstance<py::array>(object);
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    *failed = true;
    return false;
}

int value_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    bool numpy_failed = false;
    if (Py_TYPE(self) == value_type && kwargs == nullptr && PyTuple_GET_SIZE(args) == 1 &&
        is_array(PyTuple_GET_ITEM(args, 0), &numpy_failed)) {
        auto* instance = reinterpret_cast<py::detail::instance*>(self);
        if (instance->simple_layout && !instance->simple_holder_constructed &&
            instance->simple_value_holder[0] == nullptr) {
            std::unique_ptr<QelmoValue> value;
            try {
                value = std::make_unique<QelmoValue>(py::reinterpret_borrow<py::array>(PyTuple_GET_ITEM(args, 0)));
            } catch (...) {
                // An unsupported array: pybind11's path raises the usual error.
                PyErr_Clear();
                return pybind11_value_init(self, args, kwargs);
            }
            adopt(instance, std::move(value));
            return 0;
        }
    }
    if (numpy_failed) return -1;
    return pybind11_value_init(self, args, kwargs);
}

// QelmoValue.__init__ called again on a made value: pybind11 ignores the
// call for the values it made, so it is ignored for these too.
PyObject* init_again(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool unmade = false;
    if (native_of<QelmoValue>(self, value_type, &unmade) != nullptr) Py_RETURN_NONE;
    return call_pybind11(pybind11_value_init_function, self, args, nargs, kwnames);
}

PyObject* to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool unmade = false;
    const QelmoValue* value = native_of<QelmoValue>(self, value_type, &unmade);
    if (unmade) return refuse_unmade(value_type);
    if (value != nullptr && nargs == 0 && kwnames == nullptr) return value->array().inc_ref().ptr();
    return call_pybind11(pybind11_to_numpy, self, args, nargs, kwnames);
}

bool is_one_byte_text(PyObject* object) {
    return PyUnicode_Check(object) && PyUnicode_READY(object) == 0 && PyUnicode_KIND(object) == PyUnicode_1BYTE_KIND;
}

PyObject* set_input(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool unmade = false;
    QelmoSession* session = native_of<QelmoSession>(self, session_type, &unmade);
    if (unmade) return refuse_unmade(session_type);
    const QelmoValue* value = nargs == 2 ? native_of<QelmoValue>(args[1], value_type, &unmade) : nullptr;
    if (unmade) return refuse_unmade(value_type);
    if (session != nullptr && value != nullptr && kwnames == nullptr && is_one_byte_text(args[0])) {
        try {
            // Latin-1 text widens unit by unit to UTF-16. The buffer is
            // reused: the interpreter lock serialises calls, and set_input
            // is done with the name before any Python code can run.
            static std::u16string name;
            const auto* text = PyUnicode_1BYTE_DATA(args[0]);
            name.assign(text, text + PyUnicode_GET_LENGTH(args[0]));
            session->set_input(name, *value);
        } catch (...) {
            py::detail::try_translate_exceptions();
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    return call_pybind11(pybind11_set_input, self, args, nargs, kwnames);
}

// A new Python QelmoValue owning `value`, made as pybind11's cast of a moved
// value makes it.
py::object wrap_value(QelmoValue&& value) {
    auto object = py::reinterpret_steal<py::object>(py::detail::make_new_instance(value_type));
    if (!object) throw py::error_already_set();
    adopt(reinterpret_cast<py::detail::instance*>(object.ptr()), std::make_unique<QelmoValue>(std::move(value)));
    return object;
}

// The name as a Python str, decoded as pybind11 decodes UTF-16; names in
// ASCII, the usual case, are copied unit by unit.
py::object text_object(const std::u16string& text) {
    bool ascii = true;
    for (char16_t unit : text) ascii = ascii && unit < 0x80;
    PyObject* made = nullptr;
    if (ascii) {
        made = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 0x7F);
        if (made != nullptr) {
            Py_UCS1* target = PyUnicode_1BYTE_DATA(made);
            for (char16_t unit : text) *target++ = static_cast<Py_UCS1>(unit);
        }
    } else {
        made = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text.data()),
                                     static_cast<Py_ssize_t>(text.size() * sizeof(char16_t)), nullptr, nullptr);
    }
    if (made == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

PyObject* evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool unmade = false;
    QelmoSession* session = native_of<QelmoSession>(self, session_type, &unmade);
    if (unmade) return refuse_unmade(session_type);
    if (session == nullptr || nargs != 0 || kwnames != nullptr) {
        return call_pybind11(pybind11_evaluate, self, args, nargs, kwnames);
    }
    try {
        NamedOutputs outputs = session->evaluate();
        py::dict result;  // keeps the outputs' order
        for (auto& [name, value] : outputs) {
            const py::object key = text_object(name);
            if (PyDict_SetItem(result.ptr(), key.ptr(), wrap_value(std::move(value)).ptr()) != 0) {
                throw py::error_already_set();
            }
        }
        return result.release().ptr();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind through
#endif
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

// Replaces the method `name` of `type` with a method descriptor for `fast`,
// keeping pybind11's function (returned, a new reference) for the other
// cases and its docstring, which carries the signature.
PyObject* replace_method(py::handle type, const char* name, _PyCFunctionFastWithKeywords fast) {
    py::object original = type.attr(name);
    auto* doc = new std::string(py::str(original.attr("__doc__")));  // lives as long as the method
    auto* definition = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast)),
                                       METH_FASTCALL | METH_KEYWORDS, doc->c_str()};
    py::object descriptor = py::reinterpret_steal<py::object>(
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.ptr()), definition));
    if (!descriptor) throw py::error_already_set();
    py::setattr(type, name, descriptor);
    return original.release().ptr();
}

}  // namespace

void install_fast_calls(py::module_& module) {
    py::handle value_class = module.attr("QelmoValue");
    py::handle session_class = module.attr("QelmoSession");
    value_type = reinterpret_cast<PyTypeObject*>(value_class.ptr());
    session_type = reinterpret_cast<PyTypeObject*>(session_class.ptr());
    value_type_info = py::detail::get_type_info(typeid(QelmoValue));

    pybind11_to_numpy = replace_method(value_class, "to_numpy", to_numpy);
    pybind11_set_input = replace_method(session_class, "set_input", set_input);
    pybind11_evaluate = replace_method(session_class, "evaluate", evaluate);
    pybind11_value_init_function = replace_method(value_class, "__init__", init_again);
    // Set last: assigning __init__ on the class resets this slot.
    pybind11_value_init = value_type->tp_init;
    value_type->tp_init = value_init;
    PyType_Modified(value_type);
}

}  // namespace qelmo
