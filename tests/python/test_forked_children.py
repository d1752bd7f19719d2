"""Children forked from a process that holds clients with events registered.

The child has none of the threads that the inherited clients' framework objects
rely on: it must exit promptly without calling into them, refuse their use, and
work with clients of its own; the parent's clients keep delivering.
"""

import os

import pytest

from event_support import run_python, watchdog  # noqa: F401

FORKS = 20

# Forks FORKS children with os.fork while the sample framework's threads deliver to
# both classes and another thread makes and lets go clients without pause (so that a
# fork may come while it is inside a library's release), or with the C library's fork
# (which runs none of os.fork's hooks) while no other thread enters Python; each child
# does ACTION and ends normally. The parent reaps each child
# (killing one that overruns the deadline, so that no hung child outlives the
# test), prints the statuses, then shows that its own clients still deliver.
PARENT = r"""
import ctypes, json, os, signal, sys, threading, time
import Corvane

# The C library's fork runs none of os.fork's hooks; called with the interpreter lock
# held, as os.fork is.
fork = os.fork if FORK == "os.fork" else ctypes.PyDLL(None).fork

def wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True

ticks = {"text": 0, "values": 0}
lock = threading.Lock()

def on_tick(source, payload, context):
    with lock:
        ticks[context] += 1

text = Corvane.ClientApi('{"interval_ms": 10}')
values = Corvane.CorvaneJson({"interval_ms": 10})
text.RegisterEvent("sensors.ticks", on_tick, "text")
values.RegisterEvent("sensors.ticks", on_tick, "values")
if not wait_for(lambda: min(ticks.values()) > 0):
    sys.exit("no notifications arrived")

def in_child():
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    if ACTION == "uses the inherited clients":
        for client in (text, values):
            try:
                client.GetValue("settings")
            except Corvane.VexaException as error:
                if "another process" not in str(error):
                    sys.exit(3)
            else:
                sys.exit(3)
    elif ACTION == "makes a client of its own":
        own = Corvane.CorvaneJson()
        got = []
        own.RegisterEvent("child.x", lambda source, payload, context: got.append(context), "own")
        own.ExecuteCommand("diagnostics.emit", {"source": "child", "payload": '{"x": 1}'})
        if got != ["own"]:
            sys.exit(4)
    sys.exit(0)

churning = True

def churn():
    while churning:
        Corvane.CorvaneJson()

if FORK == "os.fork":
    threading.Thread(target=churn, daemon=True).start()
else:
    # The C library's fork leaves the interpreter's own state (the interpreter lock
    # among it) as the parent's other threads had it, which only os.fork repairs: a
    # child forked while another thread waits for that lock hangs as soon as it
    # releases it. So no other thread enters Python while these children are made.
    text.UnregisterEvent("sensors.ticks", on_tick)
    values.UnregisterEvent("sensors.ticks", on_tick)
    time.sleep(0.2)
statuses = []
for _ in range(FORKS):
    pid = fork()
    if pid == 0:
        in_child()
    deadline = time.monotonic() + 30
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            statuses.append(os.waitstatus_to_exitcode(status))
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            statuses.append("hung")
            break
        time.sleep(0.005)
churning = False
print(statuses, flush=True)
if FORK != "os.fork":
    text.RegisterEvent("sensors.ticks", on_tick, "text")
    values.RegisterEvent("sensors.ticks", on_tick, "values")

with lock:
    before = dict(ticks)
delivered = wait_for(lambda: all(ticks[name] > before[name] for name in ticks))
emitted = []
text.RegisterEvent("parent.x", lambda source, payload, context: emitted.append(context), "emitted")
text.ExecuteCommand("diagnostics.emit", json.dumps({"source": "parent", "payload": '{"x": 1}'}))
print("parent delivers", delivered and emitted == ["emitted"], flush=True)
"""


# The address sanitizer's allocator of this compiler takes no lock around fork: a child
# may wait for ever on an allocator lock that a framework thread of the parent held at
# the moment of the fork, and every child allocates (the interpreter's own finalisation
# does), whatever it does before it ends. The plain allocator's fork handlers prevent that.
pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform"),
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the address sanitizer's allocator is not fork-safe while other threads allocate"),
]


@pytest.mark.usefixtures("framework_machine")
@pytest.mark.parametrize("fork", ["os.fork", "the C library's fork"])
@pytest.mark.parametrize("action", ["exits at once", "uses the inherited clients", "makes a client of its own"])
def test_forked_children_exit_and_parent_keeps_delivering(action, fork):
    result = run_python(f"ACTION, FORKS, FORK = {action!r}, {FORKS}, {fork!r}\n" + PARENT, timeout=900)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr[-4000:]
    assert result.stdout.splitlines() == [str([0] * FORKS), "parent delivers True"]
