"""ClientApi: the texts and values that reach the client library, and the texts that
come back."""

import os
import subprocess
import sys
from decimal import Decimal

import pytest

import Corvane
from conftest import MachineState, only_linux_stand_in


@pytest.fixture
def api(double_machine):
    return Corvane.ClientApi()


def test_default_configuration_is_empty_object(double_machine):
    Corvane.ClientApi()
    assert double_machine.calls("Create") == [{"op": "Create", "args": ["{}"]}]


@pytest.mark.parametrize("given, received", [
    ("", ""),
    ("not json at all", "not json at all"),
    ('{"b": 1, "a": 2}', '{"b": 1, "a": 2}'),
    ("caf\u00e9", "caf\u00e9"),
    (b"raw bytes", "raw bytes"),
])
def test_configuration_text_is_passed_unchanged(double_machine, given, received):
    Corvane.ClientApi(given)
    assert double_machine.calls("Create") == [{"op": "Create", "args": [received]}]


@pytest.mark.parametrize("call, op, args", [
    (lambda api: api.GetProperties("cfg"), "GetProperties", ["cfg"]),
    (lambda api: api.GetNode("a.b"), "GetNode", ["a.b"]),
    (lambda api: api.GetValue("a.b"), "GetValue", ["a.b"]),
    (lambda api: api.GetSchema("a.b", Corvane.RESULT), "GetSchema", ["a.b", 4]),
    (lambda api: api.ExecuteCommand("cmd", '{"x": 1}'), "ExecuteCommand", ["cmd", '{"x": 1}']),
    (lambda api: api.QueryNode("a"), "QueryNode", ["a"]),
    (lambda api: api.GetValue(b"bytes.path"), "GetValue", ["bytes.path"]),
])
def test_each_method_reaches_its_operation(api, double_machine, call, op, args):
    call(api)
    assert double_machine.journal()[1:] == [{"op": op, "args": args}]


@pytest.mark.parametrize("value, overload, received", [
    (True, "bool", True),
    (False, "bool", False),
    (1, "int64", 1),
    (-2**63, "int64", -2**63),
    (2**63 - 1, "int64", 2**63 - 1),
    (1.0, "double", 1.0),
    (-0.5, "double", -0.5),
    ("x", "string", "x"),
    (b"x", "string", "x"),
    # pybind11 2.10 takes a bytearray where it takes bytes.
    (bytearray(b"x"), "string", "x"),
    (None, "bool", False),
    (2**70, "bool", True),
    (-2**63 - 1, "bool", True),
    (Decimal("2.5"), "bool", True),
    (Decimal(0), "bool", False),
])
def test_set_value_overload_chosen(api, double_machine, value, overload, received):
    api.SetValue("p", value)
    assert double_machine.calls("SetValue") == [{"op": "SetValue", "overload": overload, "args": ["p", received]}]


@pytest.mark.parametrize("value", [[1], {"a": 1}, object(), memoryview(b"x"), "\ud800"])
def test_set_value_rejects_other_objects(api, double_machine, value):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        api.SetValue("p", value)
    assert double_machine.calls("SetValue") == []


def test_text_that_cannot_be_encoded_is_rejected(api, double_machine):
    with pytest.raises(TypeError):
        api.GetValue("\udc80")
    assert double_machine.calls("GetValue") == []


@pytest.mark.parametrize("method", ["GetProperties", "GetNode", "GetValue", "QueryNode"])
def test_result_text_returned_as_str(api, double_machine, method):
    double_machine.script(**{method: {"result": "caf\u00e9 \u2603 not json"}})
    assert getattr(api, method)("x") == "caf\u00e9 \u2603 not json"


def test_command_and_schema_results(api, double_machine):
    double_machine.script(ExecuteCommand={"result": ""}, GetSchema={"result": "{}"})
    assert api.ExecuteCommand("c", "p") == ""
    assert api.GetSchema("s", Corvane.DATA) == "{}"


def test_set_value_returns_none(api):
    assert api.SetValue("p", 1) is None


@pytest.mark.parametrize("method, call", [
    ("GetValue", lambda api: api.GetValue("v")),
    ("ExecuteCommand", lambda api: api.ExecuteCommand("c", "p")),
])
def test_result_that_is_not_utf8_raises_unicode_decode_error(api, double_machine, method, call):
    double_machine.script(**{method: {"result_hex": "61ff62"}})
    with pytest.raises(UnicodeDecodeError):
        call(api)
    # The operation itself has taken place.
    assert len(double_machine.calls(method)) == 1


def test_two_objects_bind_the_library_twice(double_machine):
    first = Corvane.ClientApi("one")
    second = Corvane.ClientApi("two")
    first.GetValue("a")
    second.GetValue("b")
    del first, second
    assert [entry["op"] for entry in double_machine.journal()] == [
        "Create", "Create", "GetValue", "GetValue", "Destroy", "Destroy"]


class SubclassedApi(Corvane.ClientApi):
    pass


class SubclassedJson(Corvane.CorvaneJson):
    pass


def outcome(call):
    try:
        return ("value", call())
    except Exception as error:
        return (type(error).__name__, str(error))


@pytest.mark.parametrize("cls, subclass", [(Corvane.ClientApi, SubclassedApi), (Corvane.CorvaneJson, SubclassedJson)])
@pytest.mark.parametrize("method", ["GetProperties", "GetNode", "GetValue", "QueryNode"])
@pytest.mark.parametrize("script", [
    {"result": "caf\u00e9"}, {"result": '{"b":[1,2.5,"caf\u00e9"],"a":null}'}, {"result_hex": "61ff62"},
    {"throw": "TimeoutException", "message": "slow"}, {"throw": "runtime_error", "message": "bad"},
    {"throw": "json_error", "message": "{broken"}, {"throw": "exception", "message": ""},
    {"throw": "int", "message": ""},
])
def test_plain_text_calls_behave_as_every_other_call(double_machine, cls, subclass, method, script):
    # A call with one str argument takes a quicker entry than a call with bytes, with a
    # keyword or on a subclass; all of them must give the same result or error, the
    # text of ClientApi as the value of CorvaneJson.
    double_machine.script(**{method: script})
    api, sub = cls(), subclass()
    quick = outcome(lambda: getattr(api, method)("p.x"))
    assert quick == outcome(lambda: getattr(api, method)(b"p.x"))
    assert quick == outcome(lambda: getattr(sub, method)("p.x"))
    if method != "QueryNode":
        keyword = "properties_config" if method == "GetProperties" else "path"
        assert quick == outcome(lambda: getattr(api, method)(**{keyword: "p.x"}))
    assert [entry["args"] for entry in double_machine.calls(method)] == [["p.x"]] * (3 if method == "QueryNode" else 4)


@pytest.mark.parametrize("cls, returns", [(Corvane.ClientApi, "str"), (Corvane.CorvaneJson, "json")])
def test_plain_text_entry_keeps_the_generated_signature(cls, returns):
    name = cls.__name__
    assert cls.GetValue.__doc__.splitlines()[0] == f"GetValue(self: Corvane.{name}, path: str = '') -> {returns}"
    for bad_call in (lambda: cls.GetValue(cls.__new__(cls), 1), lambda: cls.GetValue(1, "x"), lambda: cls.GetValue()):
        with pytest.raises(TypeError, match=r"^GetValue\(\): incompatible function arguments"):
            bad_call()


# A client library that stays in the process after its last release: GCC gives the
# static local of an inline function an STB_GNU_UNIQUE symbol unless told otherwise, and
# the dynamic loader never unloads a library that defines one. Bound in a child
# interpreter, which the library then stays in.
PINNED_CLIENT = os.environ.get("VEXA_PINNED_CLIENT", "")

PINNED_CHILD = """
import Corvane
for round in range(5):
    api = Corvane.ClientApi()
    print(api.GetValue("here"))
    del api
"""


# Windows keeps a loaded module by its path itself; the test library that stays
# resident is built for the stand-in only.
@only_linux_stand_in
def test_a_resident_client_library_binds_for_every_client(tmp_path):
    if not PINNED_CLIENT:
        pytest.fail("VEXA_PINNED_CLIENT names no library")
    machine = MachineState.publishing(tmp_path / "machine", PINNED_CLIENT)
    record = tmp_path / "record"
    env = dict(os.environ, VEXA_PLATFORM_ROOT=str(machine.root), VEXA_TEST_RECORD_FILE=str(record))
    child = subprocess.run([sys.executable, "-c", PINNED_CHILD], env=env, capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["GetValue(here)"] * 5
    # Loaded once and left only when the process ended; its count of creations carried on.
    bound = [["build type", "revision", "create({})", f"creation {n}", "GetValue(here)", "destroy"]
             for n in range(1, 6)]
    assert record.read_text().splitlines() == ["load", *sum(bound, []), "unload"]
