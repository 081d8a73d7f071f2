// The module's entry point: the Python surface, declared in one place.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "abi/machine_learning.h"
#include "model/qelmo_model.h"
#include "module/failure_translation.h"
#include "module/fast_calls.h"
#include "session/qelmo_session.h"
#include "tensor/qelmo_value.h"

namespace py = pybind11;

// evaluate()'s outputs reach Python as a dict in their order, typed as the
// dict[str, QelmoValue] that the method has always declared.
template <>
struct pybind11::detail::type_caster<qelmo::NamedOutputs>
    : pybind11::detail::map_caster<qelmo::NamedOutputs, std::u16string, qelmo::QelmoValue> {};

using mlabi::LearningModelDeviceKind;
using qelmo::QelmoModel;
using qelmo::QelmoSession;
using qelmo::QelmoValue;

PYBIND11_MODULE(qelmo, m) {
    m.doc() = "Qelmo Python bindings using pybind11";
    qelmo::register_failure_translation();

    py::enum_<LearningModelDeviceKind>(m, "DeviceType")
        .value("CPU", LearningModelDeviceKind::Cpu)
        .value("GPU", LearningModelDeviceKind::DirectXHighPerformance)
        .export_values();

    py::class_<QelmoModel>(m, "QelmoModel")
        .def(py::init<const std::u16string&>(), py::arg("model_path"))
        .def("get_model", &QelmoModel::get_model)
        .def("get_author", &QelmoModel::get_author)
        .def("get_name", &QelmoModel::get_name)
        .def("get_domain", &QelmoModel::get_domain)
        .def("get_description", &QelmoModel::get_description)
        .def("get_input_names", &QelmoModel::get_input_names)
        .def("get_output_names", &QelmoModel::get_output_names)
        .def("get_input_details", &QelmoModel::get_input_details)
        .def("get_output_details", &QelmoModel::get_output_details);

    py::class_<QelmoSession>(m, "QelmoSession")
        .def(py::init<const QelmoModel&, LearningModelDeviceKind>(), py::arg("model"),
             py::arg("device_type") = LearningModelDeviceKind::DirectXHighPerformance)
        .def("set_input", &QelmoSession::set_input)
        .def("clear_input", &QelmoSession::clear_input)
        .def("evaluate", &QelmoSession::evaluate);

    py::class_<QelmoValue>(m, "QelmoValue")
        .def(py::init<py::array>(), py::arg("array"))
        .def("to_numpy", &QelmoValue::to_numpy);

    // QelmoValue(array), to_numpy, set_input and evaluate also have direct
    // entry points, in fast_calls.cpp, in front of the functions above.
    qelmo::install_fast_calls(m);
}
