"""Client objects in awkward states: never initialised, freed by their own event
handler, or left inside a command by a daemon thread when the process exits."""

import pytest

from event_support import run_python, watchdog  # noqa: F401

RUNS = 5

# Calls every method of one class on an object whose __init__ never ran or failed,
# by one route, and prints what each call raised. CLASS and ROUTE are set in front.
UNINITIALISED = r"""
import Corvane

cls = getattr(Corvane, CLASS)
CALLS = [
    ("GetProperties", ("",)), ("GetNode", ("n",)), ("GetValue", ("n",)), ("GetSchema", ("n", Corvane.DATA)),
    ("ExecuteCommand", ("n", "{}")), ("QueryNode", ("n",)), ("RegisterEvent", ("n", print)),
    ("UnregisterEvent", ("n", print)), ("SetValue", ("n", True)), ("SetValue", ("n", 1)),
    ("SetValue", ("n", 1.5)), ("SetValue", ("n", "text")),
]

def call_all(call):
    for name, args in CALLS:
        try:
            call(name, args)
        except TypeError as error:
            print(name, "TypeError", "not initialised" in str(error), flush=True)
        except BaseException as error:
            print(name, type(error).__name__, flush=True)
        else:
            print(name, "returned", flush=True)

if ROUTE == "__new__":
    made = cls.__new__(cls)
    call_all(lambda name, args: getattr(made, name)(*args))
    call_all(lambda name, args: getattr(made, name)(*args))  # again, on what the first round left
elif ROUTE == "through the class with None":
    call_all(lambda name, args: getattr(cls, name)(None, *args))
else:
    class Carries(cls):
        def __init__(self):
            try:
                super().__init__()
            except Corvane.VexaException:
                pass
            call_all(lambda name, args: getattr(self, name)(*args))
    try:
        Carries()
    except TypeError:
        pass  # pybind11 refuses the object once __init__ returns
print("alive")
"""

# A handler that drops the last reference to the object that subscribed it. Its
# destruction must not run on the framework thread inside the callback (the
# framework would join itself and unload the library under the callback).
FREED_BY_OWN_HANDLER = r"""
import sys, threading, time
import Corvane

holder = [Corvane.CorvaneJson({"interval_ms": 10})]
freed = threading.Event()

def on_change(source, payload, context):
    if holder:
        holder.pop()
        freed.set()

holder[0].RegisterEvent("sensors.temperature", on_change)
if not freed.wait(60):
    sys.exit("no notification arrived")

from conftest import tessaly_loaded as tessaly_mapped

deadline = time.monotonic() + 60
while tessaly_mapped():
    if time.monotonic() > deadline:
        sys.exit("the library was never released")
    time.sleep(0.01)
print("released", flush=True)
"""

# Daemon threads inside ExecuteCommand when the main thread ends: the interpreter
# finalizes while their commands run without the lock, and they come back to it.
DAEMON_IN_COMMAND = r"""
import threading, time
import Corvane

client = Corvane.ClientApi()
started = threading.Event()

def keep_sleeping():
    while True:
        started.set()
        client.ExecuteCommand("diagnostics.sleep", '{"ms": 1}')

for _ in range(4):
    threading.Thread(target=keep_sleeping, daemon=True).start()
started.wait(60)
time.sleep(0.05)
print("end of script", flush=True)
"""


@pytest.mark.usefixtures("watchdog")
@pytest.mark.parametrize("route", ["__new__", "through the class with None", "subclass after a failed base __init__"])
@pytest.mark.parametrize("class_name", ["ClientApi", "CorvaneJson"])
def test_methods_of_an_uninitialised_object_raise_type_error(class_name, route, tmp_path, monkeypatch):
    monkeypatch.setenv("VEXA_PLATFORM_ROOT", str(tmp_path))  # no framework: every __init__ fails
    child = run_python(f"CLASS, ROUTE = {class_name!r}, {route!r}\n" + UNINITIALISED, timeout=120)
    rounds = 2 if route == "__new__" else 1
    lines = child.stdout.splitlines()
    assert (child.returncode, child.stderr) == (0, ""), lines
    assert lines[-1] == "alive"
    assert len(lines) == 12 * rounds + 1
    outcomes = {line.split(" ", 1)[1] for line in lines[:-1]}
    if route == "through the class with None":
        # None is no object of the class at all; pybind11 itself refuses it where the
        # method names its parameters.
        assert outcomes <= {"TypeError True", "TypeError False"}
    else:
        assert outcomes == {"TypeError True"}


@pytest.mark.usefixtures("framework_machine", "watchdog")
@pytest.mark.parametrize("run", range(RUNS))
def test_handler_freeing_its_own_client_releases_it_safely(run):
    child = run_python(FREED_BY_OWN_HANDLER, timeout=120)
    assert (child.returncode, child.stdout, child.stderr) == (0, "released\n", "")


@pytest.mark.usefixtures("framework_machine", "watchdog")
@pytest.mark.parametrize("run", range(RUNS))
def test_exit_with_a_daemon_thread_inside_execute_command(run):
    child = run_python(DAEMON_IN_COMMAND, timeout=120)
    assert (child.returncode, child.stdout, child.stderr) == (0, "end of script\n", "")
