"""A process that ends while framework threads deliver notifications ends cleanly.

Each case runs a fresh interpreter that subscribes, waits until notifications flow,
and then simply ends, many times over, since the window it probes is narrow. Events
also work in an interpreter without fork (as on Windows), whose exit hook is
installed once.
"""

import os
from pathlib import Path

import pytest

from event_support import event_machine, run_python, watchdog  # noqa: F401

RUNS = 8

# Common start of every child: a handler and a context whose release is announced.
PRELUDE = (Path(__file__).resolve().parents[1] / "support" / "exit_child_prelude.py").read_text() + \
    "import corvane_probe\n"

CHILDREN = {
    # The double's threads deliver without pause; the object is freed while the
    # module globals are cleared, and its destruction joins them.
    "flood": PRELUDE + r"""
client = Corvane.ClientApi()
client.RegisterEvent("s.x", handler, context)
client.ExecuteCommand("events.flood", json.dumps({"source": "s", "payload": '{"x": 1}', "threads": 3}))
wait_for(lambda: handler.calls > 50)
print("end of script", flush=True)
""",
    # The object is never freed, so its threads deliver through the interpreter's
    # finalization and until the process is gone.
    "flood past finalization": PRELUDE + r"""
client = Corvane.ClientApi()
client.RegisterEvent("s.x", handler, context)
client.ExecuteCommand("events.flood", json.dumps({"source": "s", "payload": '{"x": 1}', "threads": 3}))
corvane_probe.keep_forever(client)
wait_for(lambda: handler.calls > 50)
print("end of script", flush=True)
""",
    # A child forked while a framework thread is inside a handler exits normally: the
    # dispatch in progress in the parent must not hold the child's exit up.
    "fork": PRELUDE + r"""
import os
client = Corvane.ClientApi()
in_handler, fork_done = threading.Event(), threading.Event()

def slow(source, payload, context):
    in_handler.set()
    fork_done.wait(60)

client.RegisterEvent("f.x", slow)
client.RegisterEvent("s.x", handler, context)
emitting = threading.Thread(target=client.ExecuteCommand,
                            args=("events.emit", json.dumps({"source": "f", "payload": '{"x": 1}'})))
emitting.start()
in_handler.wait(60)
# A forked child has none of the threads that its destruction would join.
corvane_probe.keep_forever(client)
pid = os.fork()
if pid == 0:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    sys.exit(0)
_, status = os.waitpid(pid, 0)
fork_done.set()
emitting.join()
client.ExecuteCommand("events.emit", json.dumps({"source": "s", "payload": '{"x": 1}'}))
client.UnregisterEvent("f.x", slow)
print("end of script" if status == 0 else f"forked child ended with status {status}", flush=True)
""",
    # The sample framework's sensor thread publishes every 10 ms and its delivery thread
    # passes the notifications on; the object is freed while the module globals are
    # cleared.
    "framework": PRELUDE + r"""
client = Corvane.ClientApi('{"interval_ms": 10}')
client.RegisterEvent("sensors.ticks", handler, context)
wait_for(lambda: handler.calls > 5)
print("end of script", flush=True)
""",
    # As above, but the object is never freed: its threads publish and deliver until
    # the process is gone.
    "framework past finalization": PRELUDE + r"""
client = Corvane.ClientApi('{"interval_ms": 10}')
client.RegisterEvent("sensors.ticks", handler, context)
corvane_probe.keep_forever(client)
wait_for(lambda: handler.calls > 5)
print("end of script", flush=True)
""",
}


# The core event cases in an interpreter that, like Python on Windows, has no
# os.register_at_fork; a plugin counts the atexit hooks that the tests' own bodies add.
WITHOUT_FORK = r"""
import atexit, os, sys
import pytest  # imports modules (random among them) that expect the hook where fork exists
if hasattr(os, "register_at_fork"):
    del os.register_at_fork

class AtexitHooks:
    added = 0

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_call(self, item):
        before = atexit._ncallbacks()
        yield
        self.added += atexit._ncallbacks() - before

hooks = AtexitHooks()
status = pytest.main(["-q", "-p", "no:cacheprovider", *sys.argv[1:]], plugins=[hooks])
print("status", int(status), "atexit hooks added", hooks.added, flush=True)
"""


def test_core_event_cases_where_fork_does_not_exist():
    tests = Path(__file__).resolve().parent
    code = f"import sys; sys.argv[1:] = {[str(tests / 'test_events_dispatch.py'), str(tests / 'test_events_table.py')]!r}\n"
    result = run_python(code + WITHOUT_FORK, timeout=600)
    assert result.stdout.splitlines()[-1:] == ["status 0 atexit hooks added 1"], \
        result.stdout[-4000:] + result.stderr[-4000:]


@pytest.mark.parametrize("run", range(RUNS))
@pytest.mark.parametrize("child", sorted(CHILDREN))
def test_process_ends_cleanly_while_events_flow(child, run, request):
    if child == "fork" and not hasattr(os, "fork"):
        pytest.skip("no fork on this platform")
    fixture = "framework_machine" if child.startswith("framework") else "event_machine"
    request.getfixturevalue(fixture)
    result = run_python(CHILDREN[child], timeout=120)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "end of script"
    assert sorted(lines[1:]) == ["context released", "handler released"]


# A daemon thread lets clients go without pause, so that the interpreter's finalization
# finds it inside a client's destruction, with the interpreter lock released, about as
# often as not. The process must end with its own status whatever the thread is doing:
# unwound (up to 3.13) or parked for ever (from 3.14 on).
DAEMON_LETS_GO = r"""
import sys, threading, time
import Corvane

%s
def churn():
    while True:
        client = make()
        started.set()
        del client

started = threading.Event()
threading.Thread(target=churn, daemon=True).start()
started.wait(60)
time.sleep(0.02)
print("end of script", flush=True)
sys.exit(3)
"""

LETTING_GO = {
    "client": ("framework_machine", "def make():\n    return Corvane.ClientApi('{\"interval_ms\": 10}')\n"),
    "subscribed client": ("event_machine", """
def make():
    client = Corvane.ClientApi()
    client.RegisterEvent("s.x", print)
    client.UnregisterEvent("s.x", print)
    return client
"""),
}


@pytest.mark.parametrize("run", range(RUNS))
@pytest.mark.parametrize("case", sorted(LETTING_GO))
def test_process_ends_with_its_status_while_a_daemon_thread_lets_a_client_go(case, run, request):
    fixture, make = LETTING_GO[case]
    request.getfixturevalue(fixture)
    result = run_python(DAEMON_LETS_GO % make, timeout=120)
    assert (result.returncode, result.stdout, result.stderr) == (3, "end of script\n", ""), result.stderr
