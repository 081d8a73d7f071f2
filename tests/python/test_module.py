"""The module's Python surface: attributes, the DeviceType enumeration and
the signatures that the binding layer shows."""

import pickle

import pytest

import qelmo


def test_module_docstring():
    assert qelmo.__doc__ == "Qelmo Python bindings using pybind11"


def test_attributes_in_registration_order():
    names = [k for k in vars(qelmo) if not k.startswith("__")]
    assert names == ["DeviceType", "CPU", "GPU", "QelmoModel", "QelmoSession", "QelmoValue"]


class TestDeviceType:
    def test_exported_members_are_the_enum_members(self):
        assert qelmo.GPU is qelmo.DeviceType.GPU
        assert qelmo.CPU is qelmo.DeviceType.CPU

    def test_values(self):
        assert int(qelmo.CPU) == 1
        assert int(qelmo.GPU) == 3
        assert qelmo.GPU.value == 3
        assert qelmo.CPU.__index__() == 1
        assert hash(qelmo.GPU) == 3

    def test_not_equal_to_plain_integers(self):
        assert not (qelmo.DeviceType.GPU == 3)
        assert qelmo.DeviceType.GPU != 3
        assert qelmo.DeviceType(3) == qelmo.GPU
        assert qelmo.CPU != qelmo.GPU

    def test_no_ordering(self):
        with pytest.raises(TypeError):
            qelmo.CPU < qelmo.GPU  # noqa: B015

    def test_value_without_member(self):
        other = qelmo.DeviceType(2)
        assert other.name == "???"
        assert int(other) == 2
        assert repr(other) == "<DeviceType.???: 2>"

    def test_repr_and_str(self):
        assert repr(qelmo.GPU) == "<DeviceType.GPU: 3>"
        assert str(qelmo.CPU) == "DeviceType.CPU"
        assert qelmo.CPU.name == "CPU"

    def test_members_mapping(self):
        assert dict(qelmo.DeviceType.__members__) == {"CPU": qelmo.CPU, "GPU": qelmo.GPU}

    def test_pickle_round_trip(self):
        for member in (qelmo.CPU, qelmo.GPU, qelmo.DeviceType(4)):
            copy = pickle.loads(pickle.dumps(member))
            assert copy == member and int(copy) == int(member)

    @pytest.mark.parametrize("value", [-(2**31), 2**31 - 1])
    def test_accepts_the_signed_32_bit_range(self, value):
        assert int(qelmo.DeviceType(value)) == value

    @pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 1.0, "1", None])
    def test_refuses_other_values(self, value):
        with pytest.raises(TypeError):
            qelmo.DeviceType(value)

    def test_constructor_keyword(self):
        assert qelmo.DeviceType(value=1) == qelmo.CPU

    def test_docstring_lists_members(self):
        doc = qelmo.DeviceType.__doc__
        assert "Members:" in doc and "CPU" in doc and "GPU" in doc


def first_doc_line(function):
    return function.__doc__.strip().splitlines()[0]


@pytest.mark.parametrize(
    "function, line",
    [
        (qelmo.QelmoModel.__init__, "__init__(self: qelmo.QelmoModel, model_path: str) -> None"),
        (qelmo.QelmoModel.get_author, "get_author(self: qelmo.QelmoModel) -> str"),
        (qelmo.QelmoModel.get_name, "get_name(self: qelmo.QelmoModel) -> str"),
        (qelmo.QelmoModel.get_domain, "get_domain(self: qelmo.QelmoModel) -> str"),
        (qelmo.QelmoModel.get_description, "get_description(self: qelmo.QelmoModel) -> str"),
        (qelmo.QelmoModel.get_input_names, "get_input_names(self: qelmo.QelmoModel) -> list[str]"),
        (qelmo.QelmoModel.get_output_names, "get_output_names(self: qelmo.QelmoModel) -> list[str]"),
        (
            qelmo.QelmoModel.get_input_details,
            "get_input_details(self: qelmo.QelmoModel) -> list[tuple[str, list[int], str]]",
        ),
        (
            qelmo.QelmoModel.get_output_details,
            "get_output_details(self: qelmo.QelmoModel) -> list[tuple[str, list[int], str]]",
        ),
        (
            qelmo.QelmoSession.__init__,
            "__init__(self: qelmo.QelmoSession, model: qelmo.QelmoModel, "
            "device_type: qelmo.DeviceType = <DeviceType.GPU: 3>) -> None",
        ),
        # QelmoValue is registered after QelmoSession, so these two lines name
        # its native type.
        (
            qelmo.QelmoSession.set_input,
            "set_input(self: qelmo.QelmoSession, arg0: str, arg1: qelmo::QelmoValue) -> None",
        ),
        (qelmo.QelmoSession.clear_input, "clear_input(self: qelmo.QelmoSession) -> None"),
        (qelmo.QelmoSession.evaluate, "evaluate(self: qelmo.QelmoSession) -> dict[str, qelmo::QelmoValue]"),
        (qelmo.QelmoValue.__init__, "__init__(self: qelmo.QelmoValue, array: numpy.ndarray) -> None"),
        (qelmo.QelmoValue.to_numpy, "to_numpy(self: qelmo.QelmoValue) -> numpy.ndarray"),
    ],
)
def test_method_signatures(function, line):
    assert first_doc_line(function) == line


def test_get_model_signature_names_a_capsule():
    assert first_doc_line(qelmo.QelmoModel.get_model) == "get_model(self: qelmo.QelmoModel) -> capsule"


def test_help_shows_the_device_default(capsys):
    help(qelmo.QelmoSession.__init__)
    assert "device_type: qelmo.DeviceType = <DeviceType.GPU: 3>" in capsys.readouterr().out


@pytest.mark.parametrize("cls", [qelmo.QelmoModel, qelmo.QelmoSession, qelmo.QelmoValue])
def test_classes_have_no_docstring_and_allow_subclasses(cls):
    assert cls.__doc__ is None
    type("Sub" + cls.__name__, (cls,), {})
