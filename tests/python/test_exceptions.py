"""Native exceptions out of the client library, as Python sees them."""

import os
import subprocess
import sys

import pytest

import Corvane
import exception_family
from conftest import MachineState

# Every class of the table, as thrown by the library and as Python receives it.
FAMILY = [(name, exception_family.raised_as(name)) for name, _, _ in exception_family.rows()]

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


# A client library with a private copy of the C++ runtime (as every module of the
# Windows build has) throws from one of its exports. The construction runs in a child
# interpreter, so that a crash fails the test instead of ending the test runner.
PRIVATE_RUNTIME_CLIENT = os.environ.get("VEXA_PRIVATE_RUNTIME_CLIENT", "")

PRIVATE_RUNTIME_CHILD = """
import sys
import Corvane
import exception_family
from conftest import tessaly_loaded as tessaly_mapped

try:
    api = getattr(Corvane, sys.argv[1])()
except BaseException as error:
    print(type(error).__name__, repr(error.args), tessaly_mapped())
else:
    mapped = tessaly_mapped()
    del api
    print("constructed", mapped, tessaly_mapped())
"""

# What the library throws (tests/doubles/throw_described.h) and the Python exception.
PRIVATE_RUNTIME_THROWN = [
    ("VexaException:7:", "VexaException", ""),
    ("ProviderException:-3:", "VexaException", ""),
    ("AccessDeniedException:403:", "AccessDeniedException", ""),
    ("ProviderNotFoundException:404:no such provider", "ProviderNotFoundException", "no such provider"),
    ("runtime_error:", "RuntimeError", ""),
    ("out_of_range:index 9", "RuntimeError", "index 9"),
    ("int", "RuntimeError", "Unknown Exception"),
]

PRIVATE_RUNTIME_EXPORTS = ["BUILD_TYPE", "REVISION", "CREATE", "DESTROY"]


@pytest.mark.parametrize("thrown, python, text", PRIVATE_RUNTIME_THROWN, ids=[t[0] for t in PRIVATE_RUNTIME_THROWN])
@pytest.mark.parametrize("export", PRIVATE_RUNTIME_EXPORTS)
@pytest.mark.parametrize("class_name", ["ClientApi", "CorvaneJson"])
def test_library_with_private_runtime_throwing_from_an_export(tmp_path, monkeypatch, class_name, export, thrown,
                                                              python, text):
    if not PRIVATE_RUNTIME_CLIENT:
        pytest.fail("VEXA_PRIVATE_RUNTIME_CLIENT names no library")
    machine = MachineState.publishing(tmp_path / "machine", PRIVATE_RUNTIME_CLIENT)
    env = dict(os.environ, VEXA_PLATFORM_ROOT=str(machine.root))
    env[f"VEXA_TEST_{export}_THROW"] = thrown
    child = subprocess.run([sys.executable, "-c", PRIVATE_RUNTIME_CHILD, class_name], env=env,
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, f"status {child.returncode}: {child.stderr}"
    if export == "DESTROY":
        # Freeing the object drops what the destroy export threw and releases the library.
        expected = "constructed True False"
    else:
        # The translated exception, raised after the library has left the process.
        expected = f"{python} {(text,)!r} False"
    assert child.stdout.strip() == expected, child.stderr
    assert child.stderr == ""
