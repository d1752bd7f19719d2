"""Importing the module, and constructing objects where no usable framework is."""

import struct
import subprocess
import sys
import textwrap

import pytest

import conftest


def run_python(code, env_root):
    """Runs code in a fresh interpreter with VEXA_PLATFORM_ROOT set to env_root."""
    import os

    env = dict(os.environ, VEXA_PLATFORM_ROOT=str(env_root))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)


def test_import_without_framework_raises_nothing_and_loads_nothing(empty_machine):
    result = run_python("""
        import Corvane
        from conftest import library_loaded
        assert not library_loaded("Tessaly.dll")
        assert not library_loaded("Orbisk.dll")
        print("imported")
        """, empty_machine.root)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "imported\n"


def test_import_touches_no_framework_even_when_published(framework_machine):
    result = run_python("""
        import Corvane
        from conftest import tessaly_loaded
        assert not tessaly_loaded()
        """, framework_machine.root)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("cls", ["ClientApi", "CorvaneJson"])
def test_constructing_without_framework_raises_vexa_exception(empty_machine, cls):
    import Corvane

    with pytest.raises(Corvane.VexaException) as caught:
        getattr(Corvane, cls)()
    assert type(caught.value) is Corvane.VexaException
    assert caught.value.args == ("Error Locating Framework Directory",)
    assert not conftest.tessaly_loaded()


@pytest.mark.parametrize("cls", ["ClientApi", "CorvaneJson"])
def test_unsigned_library_is_refused(double_machine, cls):
    import Corvane

    conftest.strip_signature(double_machine.library())
    with pytest.raises(Corvane.FrameworkException) as caught:
        getattr(Corvane, cls)()
    assert type(caught.value) is Corvane.FrameworkException
    assert caught.value.args == ("Failed to load library: Tessaly.dll : 42 : Invalid Digital Signature",)
    assert not conftest.tessaly_loaded()
    assert double_machine.journal() == []


def test_library_is_released_when_the_object_goes(double_machine):
    import Corvane

    api = Corvane.ClientApi()
    assert conftest.tessaly_loaded()
    del api
    assert not conftest.tessaly_loaded()
    assert [entry["op"] for entry in double_machine.journal()] == ["Create", "Destroy"]


class TestInterpreterCheck:
    """The import-time check of the interpreter version, through the test hook."""

    def test_compiled_layout_is_this_interpreters(self):
        import corvane_probe

        assert corvane_probe.COMPILED_LAYOUT == {
            "bits_per_digit": sys.int_info.bits_per_digit,
            "void_p": struct.calcsize("P"),
            "size_t": struct.calcsize("N"),
            "time_t": 8,
        }

    def test_compiled_version_is_this_interpreters(self):
        import corvane_probe

        assert corvane_probe.COMPILED_PYTHON_VERSION == "%d.%d" % sys.version_info[:2]
        assert corvane_probe.interpreter_matches(sys.version, corvane_probe.COMPILED_PYTHON_VERSION)

    @pytest.mark.parametrize("version", ["3.11.2 (main, Mar 13 2023)", "3.11", "3.11+", "3.11.0rc1"])
    def test_same_minor_version_matches(self, version):
        import corvane_probe

        assert corvane_probe.interpreter_matches(version, "3.11")

    @pytest.mark.parametrize("version", ["3.110.1", "3.112", "3.1", "3.10.4", "3.9.1", "4.11.0", "", " 3.11"])
    def test_other_versions_do_not_match(self, version):
        import corvane_probe

        assert not corvane_probe.interpreter_matches(version, "3.11")

    def test_two_character_minor_does_not_accept_longer_one(self):
        import corvane_probe

        assert corvane_probe.interpreter_matches("3.1.5", "3.1")
        assert not corvane_probe.interpreter_matches("3.11.2", "3.1")
        assert corvane_probe.interpreter_matches("3.10.4", "3.10")
        assert not corvane_probe.interpreter_matches("3.100", "3.10")


# A subinterpreter tries the module (ORDER: before or after the main interpreter
# imports it), registers an event if it can, and ends; then the main interpreter
# imports the module again and subscribes.
SUBINTERPRETER = r"""
import json, sys
import _xxsubinterpreters as interpreters

if ORDER == "main interpreter first":
    import Corvane
sub = interpreters.create()
interpreters.run_string(sub, '''
try:
    import Corvane
except ImportError as error:
    print("ImportError:", error, flush=True)
else:
    client = Corvane.ClientApi()
    client.RegisterEvent("sub.x", print)
    print("imported", flush=True)
''')
interpreters.destroy(sub)
first = sys.modules.pop("Corvane", None)
import Corvane
print("same classes", first is None or first.ClientApi is Corvane.ClientApi, flush=True)
client = Corvane.ClientApi()
got = []
client.RegisterEvent("main.x", lambda source, payload, context: got.append(context), "main")
client.ExecuteCommand("diagnostics.emit", json.dumps({"source": "main", "payload": '{"x": 1}'}))
print("main delivers", got == ["main"], flush=True)
"""


@pytest.mark.parametrize("order", ["main interpreter first", "subinterpreter first"])
def test_subinterpreter_is_refused_and_main_events_go_on(framework_machine, order):
    result = run_python(f"ORDER = {order!r}\n" + SUBINTERPRETER, framework_machine.root)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr[-4000:]
    assert result.stdout.splitlines() == [
        "ImportError: Corvane cannot be imported in a subinterpreter; import it in the main interpreter (its event "
        "handlers run there)",
        "same classes True",
        "main delivers True",
    ]


# An import interrupted at its Nth point (0: none) and then imported again. The points
# are the audit events that the import raises (the import system's, and pybind11's
# while it sets up its shared state), or the creations of the module's exception types
# (their builtin bases are swapped for classes whose __init_subclass__ interrupts).
INTERRUPTED_IMPORT = """
    import builtins, sys
    where, point, kind = sys.argv[1], int(sys.argv[2]), getattr(builtins, sys.argv[3])
    points = 0

    def interrupt():
        global points
        points += 1
        if points == point:
            raise kind("interrupted")

    if where == "audit event":
        sys.addaudithook(lambda event, args: interrupt() if armed else None)
    else:
        swapped = {name: getattr(builtins, name) for name in ("Exception", "RuntimeError", "ValueError",
                                                             "TimeoutError", "PermissionError", "LookupError")}
        for name, base in swapped.items():
            setattr(builtins, name, type(name, (base,), {"__init_subclass__": classmethod(
                lambda cls, **kwargs: interrupt() if armed else None)}))
    armed = True
    try:
        import Corvane
        print("imported after", points, "points")
    except BaseException as failure:
        print(type(failure).__name__, type(failure.__cause__).__name__, failure.args)
    armed = False
    if where != "audit event":
        for name, base in swapped.items():
            setattr(builtins, name, base)
    try:
        import Corvane
        print(Corvane.CorvaneJson().GetValue("settings.label"), Corvane.SchemaType.DATA.value)
    except ImportError as failure:
        print("ImportError", failure.args)
    """


def interrupted_import(machine, where, point, kind):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(INTERRUPTED_IMPORT), where, str(point), kind],
        env=dict(__import__("os").environ, VEXA_PLATFORM_ROOT=str(machine.root)),
        capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    return result.stdout.splitlines()


@pytest.mark.parametrize("where", ["audit event", "exception type"])
@pytest.mark.parametrize("kind", ["KeyboardInterrupt", "SystemExit", "RuntimeError"])
def test_an_interrupted_import_raises_the_interruption_and_a_later_import_works(framework_machine, where, kind):
    """Ctrl-C (or an exit) while the module initializes propagates as itself, never as
    the ImportError a program may fall back on; any other failure is that ImportError
    (or, raised by the import system before the module's code runs, itself). Nothing
    of the failed attempt stands in the way of the next import, but an interruption
    inside pybind11's own set-up, which it cannot recover from: that import is refused
    with a clear ImportError, never a crash."""
    first, used = interrupted_import(framework_machine, where, 0, kind)
    points = int(first.split()[2])
    assert (first, used) == (f"imported after {points} points", "Vexa sample 1")
    assert points >= (3 if where == "audit event" else 8)
    raised = {f"{kind} NoneType ('interrupted',)"} if kind != "RuntimeError" else {
        "ImportError RuntimeError ('initialization failed',)", "RuntimeError NoneType ('interrupted',)"}
    outcomes = set()
    for point in range(1, points + 1):
        failure, used = interrupted_import(framework_machine, where, point, kind)
        assert failure in raised, point
        outcomes.add(used)
    expected = {"Vexa sample 1"}
    if where == "audit event":
        expected.add("ImportError ('initialization failed: an earlier import was interrupted while pybind11 set up "
                     "its state; restart the interpreter',)")
    assert outcomes <= expected and "Vexa sample 1" in outcomes
