"""Many framework threads delivering while Python threads change the table.

The work runs in a child interpreter under a time limit, so that a deadlock fails
the test instead of hanging the run. Steady handlers stay registered throughout and
must see every notification exactly once; transient handlers come and go (some
remove themselves while being called) through objects that are created and freed
meanwhile.
"""

import json
import random
import sys
import threading

import pytest

from event_support import event_machine, run_python, watchdog  # noqa: F401

EMITTERS = 3           # Python threads asking for notifications
ROUNDS = 40            # requests per emitter
FRAMEWORK_THREADS = 3  # library threads per request
NOTIFICATIONS = 50     # notifications per library thread
CHURNERS = 3           # Python threads changing the table and the objects
CHILD_TIME_LIMIT = 240


class Counter:
    def __init__(self):
        self.calls = 0
        self.lock = threading.Lock()

    def __call__(self, source, payload, context):
        json.loads(payload)
        with self.lock:
            self.calls += 1


class SelfRemover(Counter):
    def __init__(self, client, path):
        super().__init__()
        self.client, self.path = client, path

    def __call__(self, source, payload, context):
        super().__call__(source, payload, context)
        remove_quietly(self.client, self.path, self)


def remove_quietly(client, path, handler):
    import Corvane
    try:
        client.UnregisterEvent(path, handler)
    except Corvane.FrameworkException:
        pass  # removed by someone else first


def command(client, path, **parameters):
    import Corvane
    if isinstance(client, Corvane.CorvaneJson):
        return client.ExecuteCommand(path, parameters)
    return client.ExecuteCommand(path, json.dumps(parameters))


def child_main():
    import Corvane

    errors, unraisable = [], []
    sys.unraisablehook = lambda report: unraisable.append(repr(report.exc_value))
    steady_client = Corvane.ClientApi()
    steady_context = object()
    steady = {"s.x": Counter(), "s.y": Counter()}
    transients = []  # (handler, reference count before registration)
    baseline = {path: sys.getrefcount(handler) for path, handler in steady.items()}
    for path in steady:
        steady_client.RegisterEvent(path, steady[path], steady_context)
    stop = threading.Event()

    def guarded(work):
        def run(*args):
            try:
                work(*args)
            except BaseException as error:  # reported to the parent
                errors.append(f"{type(error).__name__}: {error}")
        return run

    def emitter():
        for _ in range(ROUNDS):
            command(steady_client, "events.emit", source="s", payload='{"y": 2, "x": 1}',
                    count=NOTIFICATIONS, threads=FRAMEWORK_THREADS)

    def churner(seed):
        rng = random.Random(seed)
        while not stop.is_set():
            client = rng.choice([Corvane.ClientApi, Corvane.CorvaneJson])()
            remover = rng.choice([client, steady_client])
            handler = Counter()
            transients.append((handler, sys.getrefcount(handler)))
            if rng.random() < 0.5:
                # Joins a steady path while its notifications flow. The steady context
                # keeps the library's registrations of the steady object unchanged.
                path = rng.choice(sorted(steady))
                self_remover = SelfRemover(steady_client, path)
                transients.append((self_remover, sys.getrefcount(self_remover)))
                steady_client.RegisterEvent(path, self_remover, steady_context)
                client.RegisterEvent(path, handler, steady_context)
                stop.wait(0.002)
                remove_quietly(steady_client, path, self_remover)
                remover.UnregisterEvent(path, handler)
            else:
                # A path of its own, with its own notifications and context.
                path = rng.choice(["t.a", "t.b"])
                client.RegisterEvent(path, handler, object())
                command(client, "events.emit", source="t", payload='{"a": 1, "b": 2}', count=5,
                        threads=2)
                remover.UnregisterEvent(path, handler)
            del client, remover

    threads = [threading.Thread(target=guarded(emitter)) for _ in range(EMITTERS)]
    churners = [threading.Thread(target=guarded(churner), args=(seed,)) for seed in range(CHURNERS)]
    for thread in threads + churners:
        thread.start()
    for thread in threads:
        thread.join(CHILD_TIME_LIMIT)
    stop.set()
    for thread in churners:
        thread.join(CHILD_TIME_LIMIT)
    hung = sum(thread.is_alive() for thread in threads + churners)

    for path in steady:
        steady_client.UnregisterEvent(path, steady[path])
    print(json.dumps({
        "hung": hung,
        "errors": errors,
        "unraisable": unraisable,
        "steady_calls": sorted(handler.calls for handler in steady.values()),
        "steady_references": [sys.getrefcount(h) - baseline[p] for p, h in steady.items()],
        "transients": len(transients),
        "transient_references": sorted({sys.getrefcount(h) - before for h, before in transients}),
    }), flush=True)


def test_table_changes_while_framework_threads_deliver(event_machine):
    result = run_python("import test_events_stress as t; t.child_main()", timeout=CHILD_TIME_LIMIT)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    outcome = json.loads(result.stdout)
    expected = EMITTERS * ROUNDS * FRAMEWORK_THREADS * NOTIFICATIONS
    assert outcome["hung"] == 0
    assert outcome["errors"] == []
    assert outcome["unraisable"] == []
    assert outcome["steady_calls"] == [expected, expected]
    assert outcome["steady_references"] == [0, 0]
    assert outcome["transients"] > 0
    assert outcome["transient_references"] == [0]
