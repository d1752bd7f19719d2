"""The interpreter-lock policy: ExecuteCommand lets other Python threads and event
callbacks run while the library works, and freeing an object does not hold the lock
while the library's threads are joined.

Scenarios that would deadlock if the lock were held run in a child interpreter, so
that a fault fails the test instead of hanging it."""

import json
import os
import subprocess
import sys
import threading
import time

import pytest

import Corvane


def wait_until(condition, what):
    """Polls condition; gives up (failing the test) only after a generous bound."""
    give_up = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < give_up, f"gave up waiting for {what}"
        time.sleep(0.002)


def run_child(code, machine, timeout=120):
    env = dict(os.environ, VEXA_PLATFORM_ROOT=str(machine.root))
    try:
        result = subprocess.run([sys.executable, "-c", code], env=env,
                                capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("the child interpreter deadlocked")
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.mark.parametrize("cls, parameters", [("ClientApi", "{}"), ("CorvaneJson", {})])
def test_get_value_runs_while_execute_command_is_blocked(double_machine, tmp_path, cls, parameters):
    release = tmp_path / "release"
    double_machine.script(ExecuteCommand={"block_until": str(release), "result": '"done"'},
                          GetValue={"result": '"value"'})
    api = getattr(Corvane, cls)()
    results = []
    command = threading.Thread(target=lambda: results.append(api.ExecuteCommand("cmd", parameters)))
    command.start()
    try:
        wait_until(lambda: double_machine.calls("ExecuteCommand"), "the command to start")
        assert api.GetValue("v") in ('"value"', "value")
    finally:
        release.touch()
        command.join()
    assert results in (['"done"'], ["done"])
    # The library saw GetValue while the command was still waiting for its release.
    assert [entry["op"] for entry in double_machine.journal()] == [
        "Create", "ExecuteCommand", "GetValue", "ExecuteCommand.released"]


def test_exception_from_blocked_command_reaches_its_thread(double_machine, tmp_path):
    release = tmp_path / "release"
    double_machine.script(ExecuteCommand={"block_until": str(release), "throw": "TimeoutException",
                                          "message": "took too long"})
    api = Corvane.ClientApi()
    caught = []

    def run():
        try:
            api.ExecuteCommand("cmd", "{}")
        except Corvane.TimeoutException as error:
            caught.append(error.args)

    command = threading.Thread(target=run)
    command.start()
    wait_until(lambda: double_machine.calls("ExecuteCommand"), "the command to start")
    api.SetValue("p", 5)
    release.touch()
    command.join()
    assert caught == [("took too long",)]


@pytest.mark.parametrize("cls", ["ClientApi", "CorvaneJson"])
def test_events_are_delivered_during_execute_command(framework_machine, cls):
    # diagnostics.emit returns only once its deliveries have run, and each delivery
    # needs the interpreter lock.
    output = run_child(f"CLS = {cls!r}\n" + """
import json, Corvane
api = getattr(Corvane, CLS)()
seen = []
api.RegisterEvent("diag.tick", lambda source, payload, context: seen.append([source, payload, context]), "ctx")
parameters = {"source": "diag", "payload": '{"tick": 1}', "count": 3}
result = api.ExecuteCommand("diagnostics.emit", parameters if CLS == "CorvaneJson" else json.dumps(parameters))
print(json.dumps([result if CLS == "CorvaneJson" else json.loads(result), seen]))
""", framework_machine)
    result, seen = json.loads(output)
    assert result == {"deliveries": 3}
    assert seen == [["diag", '{"tick": 1}', "ctx"]] * 3


@pytest.mark.parametrize("cls", ["ClientApi", "CorvaneJson"])
def test_freeing_an_object_while_events_flow_does_not_deadlock(framework_machine, cls):
    # The main thread keeps the lock (no switching) while sensor notifications are
    # pending, then frees the object; the framework then joins its delivery thread,
    # which is waiting for the lock.
    output = run_child(f"CLS = {cls!r}\n" + """
import sys, threading, time, Corvane
sys.setswitchinterval(1000)
configuration = {"simulate_sensors": True, "interval_ms": 10}
for round in range(5):
    api = Corvane.CorvaneJson(configuration) if CLS == "CorvaneJson" else Corvane.ClientApi(
        '{"simulate_sensors": true, "interval_ms": 10}')
    seen = threading.Event()
    api.RegisterEvent("sensors.ticks", lambda source, payload, context: seen.set())
    assert seen.wait(60), "no sensor events"
    busy_until = time.perf_counter() + 0.05
    while time.perf_counter() < busy_until:
        pass
    del api
print("freed")
""", framework_machine)
    assert output == "freed\n"
