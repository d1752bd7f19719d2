"""Native exceptions out of the client library, as Python sees them."""

import pytest

import Corvane

FAMILY = [
    ("VexaException", "VexaException"),
    ("ProviderException", "VexaException"),
    ("FrameworkException", "FrameworkException"),
    ("LimitExceededException", "LimitExceededException"),
    ("TimeoutException", "TimeoutException"),
    ("InvalidArgumentException", "InvalidArgumentException"),
    ("AccessDeniedException", "AccessDeniedException"),
    ("JsonException", "JsonException"),
    ("ProviderNotFoundException", "ProviderNotFoundException"),
]

OPERATIONS = [
    ("GetValue", lambda api: api.GetValue("v")),
    ("ExecuteCommand", lambda api: api.ExecuteCommand("c", "{}")),
    ("SetValue", lambda api: api.SetValue("p", 1.5)),
]


@pytest.fixture(params=["ClientApi", "CorvaneJson"])
def api_class(request):
    return getattr(Corvane, request.param)


@pytest.mark.parametrize("native, python", FAMILY)
@pytest.mark.parametrize("op, call", OPERATIONS, ids=[op for op, _ in OPERATIONS])
def test_family_member_raised_as_its_python_type(double_machine, api_class, native, python, op, call):
    api = api_class()
    double_machine.script(**{op: {"throw": native, "message": f"{native} from {op}"}})
    with pytest.raises(Exception) as caught:
        call(api)
    assert type(caught.value) is getattr(Corvane, python)
    assert caught.value.args == (f"{native} from {op}",)


@pytest.mark.parametrize("native, python", FAMILY)
def test_family_member_from_create_export(double_machine, api_class, native, python):
    double_machine.script(Create={"throw": native, "message": "refused"})
    with pytest.raises(Exception) as caught:
        api_class()
    assert type(caught.value) is getattr(Corvane, python)
    assert caught.value.args == ("refused",)


def test_create_export_returning_nothing(double_machine, api_class):
    double_machine.script(Create={"null": True})
    with pytest.raises(Corvane.FrameworkException) as caught:
        api_class()
    assert caught.value.args == ("Failed to create instance of ClientApi",)


@pytest.mark.parametrize("kind, message, expected", [
    ("runtime_error", "plain failure", "plain failure"),
    ("logic_error", "index out of range", "index out of range"),
    ("exception", "", "std::bad_alloc"),
    ("int", "", "Unknown Exception"),
])
def test_standard_exceptions_become_runtime_error(double_machine, api_class, kind, message, expected):
    api = api_class()
    double_machine.script(GetNode={"throw": kind, "message": message})
    with pytest.raises(RuntimeError) as caught:
        api.GetNode("n")
    assert type(caught.value) is RuntimeError
    assert caught.value.args == (expected,)


def test_json_library_error_inside_the_library_is_json_exception(double_machine, api_class):
    api = api_class()
    double_machine.script(QueryNode={"throw": "json_error", "message": "{broken"})
    with pytest.raises(Corvane.JsonException) as caught:
        api.QueryNode("n")
    assert caught.value.args[0].startswith("[json.exception.parse_error.")


def test_object_stays_usable_after_an_exception(double_machine, api_class):
    api = api_class()
    double_machine.script(GetValue={"throw": "TimeoutException", "message": "slow"})
    with pytest.raises(Corvane.TimeoutException):
        api.GetValue("v")
    double_machine.script(GetValue={"result": "1"})
    assert api.GetValue("v") in ("1", 1)


def test_message_that_is_not_utf8_keeps_its_text(double_machine, api_class):
    api = api_class()
    # "bad \xff byte": the Python type cannot hold the byte itself, but the text stays.
    double_machine.script(GetValue={"throw": "JsonException", "message_hex": "62616420ff2062797465"})
    with pytest.raises(Corvane.JsonException) as caught:
        api.GetValue("v")
    assert caught.value.args == ("bad \\xff byte",)
