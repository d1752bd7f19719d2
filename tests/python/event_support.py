"""Helpers and fixtures shared by the event tests.

The event double (tests/doubles/event_client.cpp) is a Tessaly.dll that delivers
notifications from threads of its own on command; see event_client.cpp for its
commands. ctest names the built file in VEXA_EVENT_DOUBLE.
"""

import contextlib
import faulthandler
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import Corvane
from conftest import MachineState

EVENT_DOUBLE = os.environ.get("VEXA_EVENT_DOUBLE", "")
TESTS_DIR = Path(__file__).resolve().parent


class Recorder:
    """A handler that records the arguments of every call, thread-safely."""

    def __init__(self, name="recorder", log=None, action=None):
        self.name = name
        self.calls = []
        self.log = log
        self.action = action
        self._lock = threading.Lock()

    def __call__(self, source, payload, context):
        with self._lock:
            self.calls.append((source, payload, context))
        if self.log is not None:
            self.log.append(self.name)
        if self.action is not None:
            self.action(self)

    @property
    def count(self):
        with self._lock:
            return len(self.calls)

    def __repr__(self):
        return f"<Recorder {self.name}>"


def emit(client, source, payload, count=1):
    """Has the sample framework deliver count notifications (source, payload)."""
    command(client, "diagnostics.emit", source=source, payload=payload, count=count)


def command(client, path, **parameters):
    """Runs a command through either class; returns its result parsed."""
    if isinstance(client, Corvane.CorvaneJson):
        return client.ExecuteCommand(path, parameters)
    return json.loads(client.ExecuteCommand(path, json.dumps(parameters)))


def double_command(client, path, **parameters):
    """Runs one command of the event double."""
    return command(client, path, **parameters)


def double_counts(client):
    return double_command(client, "events.counts")


@contextlib.contextmanager
def unraisable_reports():
    """Collects what reaches sys.unraisablehook while the block runs."""
    reports = []
    previous = sys.unraisablehook

    def hook(report):
        reports.append((report.exc_type, str(report.exc_value), report.object))

    sys.unraisablehook = hook
    try:
        yield reports
    finally:
        sys.unraisablehook = previous


WATCHDOG_SECONDS = 300


@pytest.fixture(autouse=True)
def watchdog():
    """Ends the process with every thread's traceback if a test hangs (a deadlock)."""
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def event_machine(tmp_path, monkeypatch):
    """A machine state with the signed event double published as Tessaly.dll."""
    if not EVENT_DOUBLE:
        pytest.fail("VEXA_EVENT_DOUBLE names no event double")
    machine = MachineState(tmp_path / "machine")
    machine.trust_development_root()
    machine.stage(EVENT_DOUBLE)
    machine.publish()
    monkeypatch.setenv("VEXA_PLATFORM_ROOT", str(machine.root))
    return machine


def run_python(code, timeout):
    """Runs code in a fresh interpreter that finds the module and these helpers."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS_DIR), env.get("PYTHONPATH", "")]))
    if "libasan" in env.get("LD_PRELOAD", ""):
        # Objects then live in blocks the sanitizer watches, so that a use after free
        # of a Python object is reported too.
        env["PYTHONMALLOC"] = "malloc"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=timeout)
