"""The module's Python surface: names, registration order, signatures, keywords,
the SchemaType enumeration and the exception types."""

import pytest

import Corvane

CLASS_ENTRIES = ["__init__", "GetProperties", "GetNode", "GetValue", "GetSchema", "ExecuteCommand",
                 "QueryNode", "RegisterEvent", "UnregisterEvent", "SetValue"]


def signatures(function):
    """The signature lines that pybind11 generated for function, overloads in order."""
    lines = [line for line in function.__doc__.splitlines() if "(" in line and "->" in line]
    signature_lines = []
    for line in lines:
        head, _, rest = line.partition(". ")
        signature_lines.append(rest if head.isdigit() else line)
    return signature_lines


def expected_signatures(cls, handler, text, value):
    c = f"self: Corvane.{cls}"
    return {
        "__init__": [f"__init__({c}) -> None", f"__init__({c}, arg0: {value}) -> None"],
        "GetProperties": [f"GetProperties({c}, properties_config: str = '') -> {text}"],
        "GetNode": [f"GetNode({c}, path: str = '') -> {text}"],
        "GetValue": [f"GetValue({c}, path: str = '') -> {text}"],
        "GetSchema": [f"GetSchema({c}, arg0: str, arg1: Corvane.SchemaType) -> {text}"],
        "ExecuteCommand": [f"ExecuteCommand({c}, arg0: str, arg1: {value}) -> {text}"],
        "QueryNode": [f"QueryNode({c}, arg0: str) -> {text}"],
        "RegisterEvent": [f"RegisterEvent({c}, path: str, {handler}: function, context: object = None) -> None"],
        "UnregisterEvent": [f"UnregisterEvent({c}, arg0: str, arg1: function) -> None"],
        "SetValue": [f"SetValue({c}, arg0: str, arg1: {kind}) -> None"
                     for kind in ("bool", "int", "float", "str", "str")],
    }


class TestModule:
    def test_docstring(self):
        assert Corvane.__doc__ == "Pybinding for ClientApi"

    def test_names_in_registration_order(self):
        names = [name for name in vars(Corvane) if not name.startswith("__")]
        assert names == ["SchemaType", "DATA", "EVENT", "COMMAND", "RESULT", "INIT",
                         "VexaException", "FrameworkException", "LimitExceededException",
                         "TimeoutException", "InvalidArgumentException", "AccessDeniedException",
                         "JsonException", "ProviderNotFoundException", "ClientApi", "CorvaneJson"]


class TestSchemaType:
    def test_members_and_values(self):
        assert {name: int(member) for name, member in Corvane.SchemaType.__members__.items()} == {
            "DATA": 1, "EVENT": 2, "COMMAND": 3, "RESULT": 4, "INIT": 5}

    @pytest.mark.parametrize("name", ["DATA", "EVENT", "COMMAND", "RESULT", "INIT"])
    def test_members_are_module_attributes(self, name):
        assert getattr(Corvane, name) is getattr(Corvane.SchemaType, name)

    def test_constructible_from_int_and_not_arithmetic(self):
        assert Corvane.SchemaType(5) == Corvane.INIT
        assert int(Corvane.INIT) == 5
        with pytest.raises(TypeError):
            Corvane.DATA + 1  # noqa: B018

    def test_no_member_for_zero(self):
        assert 0 not in [int(member) for member in Corvane.SchemaType.__members__.values()]
        assert Corvane.SchemaType(0).name == "???"


class TestExceptionTypes:
    BASES = {
        "VexaException": RuntimeError,
        "FrameworkException": Corvane.VexaException,
        "LimitExceededException": Corvane.FrameworkException,
        "TimeoutException": Exception,
        "InvalidArgumentException": Exception,
        "AccessDeniedException": Exception,
        "JsonException": Exception,
        "ProviderNotFoundException": Exception,
    }

    @pytest.mark.parametrize("name", sorted(BASES))
    def test_direct_base(self, name):
        cls = getattr(Corvane, name)
        assert cls.__bases__ == (self.BASES[name],)
        assert cls.__module__ == "Corvane"
        assert cls.__qualname__ == name
        assert cls.__doc__ is None

    def test_only_limit_exceeded_derives_from_framework_exception(self):
        assert issubclass(Corvane.LimitExceededException, Corvane.FrameworkException)
        assert issubclass(Corvane.VexaException, RuntimeError)
        for name in ("TimeoutException", "InvalidArgumentException", "AccessDeniedException",
                     "JsonException", "ProviderNotFoundException"):
            assert not issubclass(getattr(Corvane, name), Corvane.VexaException)

    def test_no_provider_exception_type(self):
        assert not hasattr(Corvane, "ProviderException")


@pytest.mark.parametrize("cls, handler, text, value", [
    ("ClientApi", "pyhandler", "str", "str"),
    ("CorvaneJson", "event", "json", "json"),
])
class TestClasses:
    def test_entries_in_registration_order(self, cls, handler, text, value):
        names = [name for name in vars(getattr(Corvane, cls)) if name in CLASS_ENTRIES]
        assert names == CLASS_ENTRIES

    def test_generated_signatures(self, cls, handler, text, value):
        expected = expected_signatures(cls, handler, text, value)
        for name in CLASS_ENTRIES:
            assert signatures(getattr(getattr(Corvane, cls), name)) == expected[name], name

    def test_no_docstrings_of_their_own(self, cls, handler, text, value):
        assert getattr(Corvane, cls).__doc__ is None

    def test_subclassable_without_dynamic_attributes(self, cls, handler, text, value, double_machine):
        sub = type("Sub", (getattr(Corvane, cls),), {"extra": lambda self: "sub"})
        api = sub()
        assert api.extra() == "sub"
        api.GetValue("v")
        assert double_machine.calls("GetValue") == [{"op": "GetValue", "args": ["v"]}]
        with pytest.raises(AttributeError):
            getattr(Corvane, cls)().dynamic = 1


class TestKeywords:
    """Keyword names and defaults, checked on objects bound to the scripted double."""

    @pytest.fixture(params=["ClientApi", "CorvaneJson"])
    def api(self, request, double_machine):
        return getattr(Corvane, request.param)()

    def test_named_parameters_accept_keywords(self, api, double_machine):
        api.GetProperties(properties_config="p")
        api.GetNode(path="n")
        api.GetValue(path="v")
        assert [c["args"] for c in double_machine.journal()[1:]] == [["p"], ["n"], ["v"]]

    def test_defaults_are_empty_texts(self, api, double_machine):
        api.GetProperties()
        api.GetNode()
        api.GetValue()
        assert [c["args"] for c in double_machine.journal()[1:]] == [[""], [""], [""]]

    @pytest.mark.parametrize("call", [
        lambda api: api.GetSchema(path="n", arg1=Corvane.DATA),
        lambda api: api.GetSchema("n", arg1=Corvane.DATA),
        lambda api: api.GetSchema(arg0="n", arg1=Corvane.DATA),
        lambda api: api.QueryNode(path="n"),
        lambda api: api.QueryNode(arg0="n"),
        lambda api: api.ExecuteCommand("c", arg1="{}"),
        lambda api: api.SetValue("p", arg1=True),
        lambda api: api.SetValue(path="p", value=True),
        lambda api: api.UnregisterEvent("p", arg1=print),
        lambda api: api.GetNode(node="n"),
    ])
    def test_positional_only_parameters_reject_keywords(self, api, double_machine, call):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call(api)
        assert [c["op"] for c in double_machine.journal()] == ["Create"]

    def test_register_event_takes_keywords(self, api, double_machine):
        handler, other = ("pyhandler", "event") if type(api) is Corvane.ClientApi else ("event", "pyhandler")
        with pytest.raises(TypeError):
            api.RegisterEvent(path="p.q", **{other: print})
        api.RegisterEvent(path="p.q", **{handler: print}, context="ctx")
        api.UnregisterEvent("p.q", print)
        assert double_machine.journal()[1:] == [{"op": "RegisterEvent", "args": ["p.q"]},
                                                {"op": "UnregisterEvent", "args": ["p.q"]}]

    def test_schema_type_must_be_a_member(self, api, double_machine):
        with pytest.raises(TypeError):
            api.GetSchema("n", 3)
        api.GetSchema("n", Corvane.COMMAND)
        assert double_machine.calls("GetSchema") == [{"op": "GetSchema", "args": ["n", 3]}]
