"""Client objects that end in awkward places: freed by their own event handler, or
left inside a command by a daemon thread when the process exits."""

import pytest

from event_support import run_python, watchdog  # noqa: F401

RUNS = 5

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

def tessaly_mapped():
    with open("/proc/self/maps") as maps:
        # A library is mapped from a sealed snapshot named after its file.
        return any(line.rstrip().removesuffix(" (deleted)").endswith("/Tessaly.dll") for line in maps)

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
