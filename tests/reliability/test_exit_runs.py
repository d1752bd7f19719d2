"""A Python process that ends while the sample framework's threads deliver events
ends cleanly, run after run: exit status 0, nothing on stderr, and the handler and its
context given back while the interpreter was still alive.

Half the runs free the client while the module globals are cleared (its destruction
joins the framework's threads); the other half never free it, so the framework's
threads go on publishing and delivering through the interpreter's finalization until
the process is gone.
"""

from pathlib import Path

import pytest

from conftest import SANITIZED, run_python

# Runs per kind of ending; the sanitizer build runs a quarter of them, each costing
# several times as much there.
RUNS = 25 if SANITIZED else 100

# Common start of every child: a handler and a context whose release is announced.
PRELUDE = (Path(__file__).resolve().parents[1] / "support" / "exit_child_prelude.py").read_text() + r"""
client = Corvane.ClientApi('{"interval_ms": 10}')
client.RegisterEvent("sensors.ticks", handler, context)
"""

CHILDREN = {
    "freed at exit": PRELUDE + r"""
wait_for(lambda: handler.calls > 5)
print("end of script", flush=True)
""",
    "never freed": PRELUDE + r"""
import ctypes
ctypes.pythonapi.Py_IncRef(ctypes.py_object(client))
wait_for(lambda: handler.calls > 5)
print("end of script", flush=True)
""",
}


@pytest.mark.usefixtures("framework_machine")
@pytest.mark.parametrize("child", sorted(CHILDREN))
def test_processes_end_cleanly_while_events_flow(child):
    failures = []
    for run in range(RUNS):
        result = run_python(CHILDREN[child], timeout=120)
        lines = result.stdout.splitlines()
        clean = (result.returncode == 0 and result.stderr == "" and lines[:1] == ["end of script"]
                 and sorted(lines[1:]) == ["context released", "handler released"])
        if not clean:
            failures.append((run, result.returncode, result.stdout, result.stderr))
            if len(failures) == 5:
                break
    print(f"\n{child}: {run + 1 - len(failures)} of {run + 1} runs ended with status 0, empty stderr "
          f"and the handler and context released")
    assert not failures, failures[:3]
