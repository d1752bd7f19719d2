"""corvane_tools.AsyncClient against the sample framework: awaitable operations, and
subscriptions whose notifications come from the framework's delivery thread.

The sample framework's diagnostics.emit delivers N notifications to every registration
under a source and returns once they have all been delivered, with the number of
callback calls made; sensors.sample announces sensors.ticks one higher each time.
"""

import asyncio
import contextlib
import json
import logging
import random
import sys
import threading
import time
import tracemalloc
import warnings

import pytest

import Corvane
import corvane_tools
from corvane_tools import AsyncClient, Notification, Overflow, aio

pytestmark = pytest.mark.usefixtures("framework_machine")

QUIET = {"simulate_sensors": False}


def emit(api, source, payload, count):
    """Has the framework deliver count notifications; returns its callback calls."""
    return api.ExecuteCommand("diagnostics.emit", {"source": source, "payload": json.dumps(payload), "count": count})[
        "deliveries"]


async def drain(subscription):
    """Everything queued now, without waiting for more."""
    taken = []
    while subscription.pending:
        taken.append(await subscription.__anext__())
    return taken


async def take_all(subscription, expected, keep):
    """Takes notifications until every one of `expected` delivered is either taken or
    counted as dropped: a drop needs a full queue, so the last of them is a take. A
    stream that loses any hangs here, which the generous bound turns into a failure."""
    taken = []

    async def take():
        async for notification in subscription:
            taken.append(keep(notification))
            if len(taken) + subscription.overflowed == expected:
                return

    await asyncio.wait_for(take(), 300)
    return taken


@contextlib.contextmanager
def silence_checked():
    """Collects what would reach the user as an error or a warning while the block runs:
    unraisable exceptions, warnings and asyncio's log records."""
    reports = {"unraisable": [], "warnings": [], "log": []}
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: reports["unraisable"].append(report.exc_value)

    class Collect(logging.Handler):
        def emit(self, record):
            reports["log"].append(record.getMessage())

    handler = Collect()
    logging.getLogger("asyncio").addHandler(handler)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            yield reports
        reports["warnings"] = [str(w.message) for w in caught]
    finally:
        logging.getLogger("asyncio").removeHandler(handler)
        sys.unraisablehook = previous


# ---------------------------------------------------------------------------------
# Operations


def test_operations_give_what_corvane_json_gives():
    """A differential check: every awaitable method returns what the module's own
    method returns for the same arguments."""
    reference = Corvane.CorvaneJson()

    async def main():
        async with AsyncClient() as client:
            assert await client.GetValue("settings") == reference.GetValue("settings")
            assert await client.GetNode("sensors.temperature") == reference.GetNode("sensors.temperature")
            assert await client.QueryNode("settings") == reference.QueryNode("settings")
            assert await client.GetSchema("diagnostics.sleep", Corvane.COMMAND) == \
                reference.GetSchema("diagnostics.sleep", Corvane.COMMAND)
            properties = await client.GetProperties()
            assert properties == reference.GetProperties()
            assert await client.ExecuteCommand("diagnostics.echo", {"b": [1, 2.5], "a": None}) == \
                {"a": None, "b": [1, 2.5]}
            await client.SetValue("settings.label", "async")
            await client.SetValue("settings.threshold", 30.25)
            assert (await client.GetValue("settings"))["label"] == "async"
            assert (await client.GetValue("settings.threshold")) == 30.25

    asyncio.run(main())


@pytest.mark.parametrize("call, exception", [
    (lambda c: c.GetValue("no.such.path"), Corvane.ProviderNotFoundException),
    (lambda c: c.SetValue("sensors.temperature", 1.0), Corvane.AccessDeniedException),
    (lambda c: c.ExecuteCommand("diagnostics.fail", {"exception": "TimeoutException", "message": "late"}),
     Corvane.TimeoutException),
])
def test_failures_raise_the_module_exception(call, exception):
    async def main():
        async with AsyncClient() as client:
            with pytest.raises(exception):
                await call(client)

    asyncio.run(main())


def test_other_tasks_run_while_a_command_runs():
    """The command runs in a worker thread, so a task started after it reads a value and
    finishes while the command is still in the framework."""
    async def main():
        async with AsyncClient() as client:
            command = asyncio.create_task(client.ExecuteCommand("diagnostics.sleep", {"ms": 3000}))
            await asyncio.sleep(0)
            label = await client.GetValue("settings.label")
            assert not command.done()
            assert await command == {"slept_ms": 3000}
            return label

    assert asyncio.run(main()) == "Vexa sample"


def test_a_closed_client_refuses_every_call_and_ends_iterations():
    async def main():
        client = AsyncClient(QUIET)
        async with client.subscribe("demo.x") as subscription:
            iterating = asyncio.create_task(anext(subscription, "ended"))
            await asyncio.sleep(0)
            await client.aclose()
            assert await iterating == "ended"
        assert client.closed
        for call in (client.GetValue("settings"), client.ExecuteCommand("diagnostics.echo", 1)):
            with pytest.raises(RuntimeError, match="The client is closed"):
                await call
        with pytest.raises(RuntimeError, match="The client is closed"):
            client.subscribe("demo.x")
        client.close()  # again: nothing

    asyncio.run(main())


def test_wrapping_a_client_made_beforehand():
    api = Corvane.CorvaneJson(QUIET)
    api.SetValue("settings.label", "made before")

    async def main():
        async with AsyncClient(client=api) as client:
            return await client.GetValue("settings.label")

    assert asyncio.run(main()) == "made before"
    assert api.GetValue("settings.label") == "made before"  # still the caller's to use
    with pytest.raises(TypeError):
        AsyncClient({}, client=api)


# ---------------------------------------------------------------------------------
# Subscriptions: order and overflow


@pytest.mark.parametrize("maxsize, total", [(1, 50), (10, 200), (200, 200), (1000, 200)])
@pytest.mark.parametrize("overflow", list(Overflow))
def test_a_full_queue_keeps_what_its_policy_says(maxsize, total, overflow):
    """While the loop is held up, the framework delivers `total` ticks: the queue keeps
    the newest maxsize (DROP_OLDEST) or the first maxsize (DROP_NEWEST), in order, and
    counts the rest."""
    api = Corvane.CorvaneJson(QUIET)

    async def main():
        async with AsyncClient(client=api) as client:
            async with client.subscribe("sensors.ticks", "ctx", maxsize=maxsize, overflow=overflow) as subscription:
                for _ in range(total):
                    api.ExecuteCommand("sensors.sample", None)  # blocks the loop: nothing is taken
                emit(api, "sensors", {"ticks": "end"}, 1)  # returns once the ticks before it are delivered
                taken = await drain(subscription)
                return taken, subscription.overflowed

    taken, overflowed = asyncio.run(main())
    delivered = list(range(1, total + 1)) + ["end"]
    kept = delivered[-maxsize:] if overflow is Overflow.DROP_OLDEST else delivered[:maxsize]
    assert [n.payload["ticks"] for n in taken] == kept
    assert overflowed == len(delivered) - len(kept)
    assert all(n == Notification("sensors", n.payload, "ctx") for n in taken)


@pytest.mark.parametrize("maxsize", [4, 64, 100_000])
@pytest.mark.parametrize("overflow", list(Overflow))
def test_order_and_count_hold_while_producer_and_consumer_race(maxsize, overflow):
    """Ticks sampled from a worker thread while a task consumes them: whatever the
    interleaving, what arrives is in order, nothing is taken twice, and taken plus
    dropped is everything; with DROP_OLDEST the last tick always arrives."""
    total = 3000
    api = Corvane.CorvaneJson(QUIET)

    def produce():
        for _ in range(total):
            api.ExecuteCommand("sensors.sample", None)
        emit(api, "sensors", {"ticks": total + 1}, 1)  # the last, once every tick is delivered

    async def main():
        async with AsyncClient(client=api) as client:
            async with client.subscribe("sensors.ticks", maxsize=maxsize, overflow=overflow) as subscription:
                producer = asyncio.get_running_loop().run_in_executor(None, produce)
                taken = await take_all(subscription, total + 1, lambda n: n.payload["ticks"])
                await producer
                return taken, subscription.overflowed

    taken, overflowed = asyncio.run(main())
    assert taken == sorted(set(taken))
    assert len(taken) + overflowed == total + 1
    if maxsize > total:
        assert overflowed == 0
    if overflow is Overflow.DROP_OLDEST:
        assert taken[-1] == total + 1


@pytest.mark.parametrize("stalled", [False, True])
def test_100000_notifications_through_a_queue_of_1000_keep_memory_bounded(stalled):
    """The framework delivers 100 000 notifications as fast as it can while a task
    consumes them, or while the task takes nothing until all have been delivered;
    everything is either taken or counted as dropped, and the memory that the Python
    side holds stays at the queue's size, not the stream's."""
    total, maxsize = 100_000, 1000
    api = Corvane.CorvaneJson(QUIET)

    async def main():
        async with AsyncClient(client=api) as client:
            async with client.subscribe("demo.x", maxsize=maxsize) as subscription:
                command = asyncio.create_task(client.ExecuteCommand(
                    "diagnostics.emit", {"source": "demo", "payload": '{"x": "%s"}' % ("v" * 100), "count": total}))
                if stalled:
                    await command
                    assert subscription.pending == maxsize
                taken = await take_all(subscription, total, lambda n: None)
                return (await command)["deliveries"], len(taken), subscription.overflowed

    tracemalloc.start()
    try:
        deliveries, taken, overflowed = asyncio.run(main())
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert deliveries == total
    assert taken + overflowed == total
    if stalled:
        assert (taken, overflowed) == (maxsize, total - maxsize)
    # Held at once: at most the queue's 1000 notifications of about 250 bytes each; the
    # stream itself would be 25 MB.
    assert peak < 4 * 1024 * 1024, peak


@pytest.mark.parametrize("depth", [sys.getrecursionlimit() + 10, 100_000])
@pytest.mark.parametrize("opening, closing", [("[", "]"), ('{"a":', "}")])
def test_a_payload_too_deep_to_parse_arrives_as_its_text_and_the_iteration_goes_on(depth, opening, closing):
    api = Corvane.CorvaneJson(QUIET)
    deep = '{"x":' + opening * depth + "0" + closing * depth + "}"

    async def main():
        async with AsyncClient(client=api) as client:
            async with client.subscribe("demo.x", "ctx") as subscription:
                emit(api, "demo", {"x": "before"}, 1)
                api.ExecuteCommand("diagnostics.emit", {"source": "demo", "payload": deep, "count": 2})
                emit(api, "demo", {"x": "after"}, 1)
                taken = []
                async for notification in subscription:
                    taken.append(notification)
                    if len(taken) == 4:
                        return taken

    before, *unparsed, after = asyncio.run(asyncio.wait_for(main(), 300))
    assert (before, after) == (Notification("demo", {"x": "before"}, "ctx"), Notification("demo", {"x": "after"}, "ctx"))
    for source, payload, context in unparsed:
        assert (source, context) == ("demo", "ctx")
        assert isinstance(payload, corvane_tools.UnparsedPayload)
        assert payload.text == deep and isinstance(payload.error, RecursionError)


# ---------------------------------------------------------------------------------
# Subscriptions: registration and withdrawal


def test_many_subscriptions_on_one_path_share_one_registration():
    api = Corvane.CorvaneJson(QUIET)
    count = 40

    async def main():
        async with AsyncClient(client=api) as client:
            async with contextlib.AsyncExitStack() as stack:
                subscriptions = [await stack.enter_async_context(client.subscribe("demo.x", context=i))
                                 for i in range(count)]
                # One registration with the framework, whatever the number of subscribers.
                assert emit(api, "demo", {"x": 1}, 5) == 5
                for i, subscription in enumerate(subscriptions):
                    assert await drain(subscription) == [Notification("demo", {"x": 1}, i)] * 5
                # Leaving some keeps the path registered for the others.
                for subscription in subscriptions[: count - 1]:
                    await subscription.__aexit__(None, None, None)
                assert emit(api, "demo", {"x": 2}, 1) == 1
                assert [n.payload for n in await drain(subscriptions[-1])] == [{"x": 2}]
            assert emit(api, "demo", {"x": 3}, 1) == 0  # the last one gone: withdrawn

    asyncio.run(main())


def stored_subscriptions(monkeypatch):
    """Counts the subscription references that the client's feeds store, in any
    container, from the calling thread: what entering and leaving copy. Deliveries run
    on the framework's threads and are not counted."""
    thread, stored = threading.get_ident(), [0]

    def held(value):
        if isinstance(value, aio.Subscription):
            return 1
        if isinstance(value, dict):
            return sum(held(k) + held(v) for k, v in value.items())
        if isinstance(value, (tuple, list, set, frozenset)):
            return sum(map(held, value))
        return 0

    class CountingFeed(aio._Feed):
        def __setattr__(self, name, value):
            if threading.get_ident() == thread:
                stored[0] += held(value)
            super().__setattr__(name, value)

    monkeypatch.setattr(aio, "_Feed", CountingFeed)
    return stored


def comings_and_goings(order, count, rng):
    """("enter", i) and ("leave", i) steps for subscriptions 0..count-1: all entered,
    then left first-in-first-out, last-in-first-out or at random; or, for "churn",
    entries and exits mixed at random."""
    if order == "churn":
        steps, live, entered = [], [], 0
        while entered < count or live:
            if entered < count and (not live or rng.random() < 0.55):
                steps.append(("enter", entered))
                live.append(entered)
                entered += 1
            else:
                steps.append(("leave", live.pop(rng.randrange(len(live)))))
        return steps
    leaving = {"fifo": list(range(count)), "lifo": list(range(count))[::-1],
               "random": rng.sample(range(count), count)}[order]
    return [("enter", i) for i in range(count)] + [("leave", i) for i in leaving]


@pytest.mark.parametrize("order", ["fifo", "lifo", "random", "churn"])
@pytest.mark.parametrize("deliveries", ["between steps", "racing"])
def test_entering_and_leaving_copy_no_other_subscription_and_deliveries_reach_those_inside(
        order, deliveries, monkeypatch):
    """1000 subscriptions come and go on one path. Entering or leaving stores a bounded
    number of subscription references whatever the number already there, and every
    notification reaches exactly the subscriptions entered and not yet left: checked
    exactly for notifications delivered between the steps, and, for ticks delivered
    from the framework's thread throughout, as an unbroken run of ticks per
    subscription that ends by the time it has left and that goes on while it is inside."""
    count, rng = 1000, random.Random(f"{order}/{deliveries}")
    steps = comings_and_goings(order, count, rng)
    stored = stored_subscriptions(monkeypatch)
    api = Corvane.CorvaneJson(QUIET)
    path = "demo.x" if deliveries == "between steps" else "sensors.ticks"
    stop = threading.Event()

    def produce():
        while not stop.is_set():
            api.ExecuteCommand("sensors.sample", None)

    async def main():
        async with AsyncClient(client=api) as client:
            subscriptions = [client.subscribe(path, i, maxsize=100_000) for i in range(count)]
            live, expected, ticks_when_left = set(), {i: [] for i in range(count)}, {}
            producer = asyncio.get_running_loop().run_in_executor(None, produce) if deliveries == "racing" else None
            try:
                for number, (step, i) in enumerate(steps):
                    if step == "enter":
                        await subscriptions[i].__aenter__()
                        live.add(i)
                    else:
                        await subscriptions[i].__aexit__(None, None, None)
                        live.discard(i)
                        ticks_when_left[i] = api.GetValue("sensors.ticks")
                    if number % 97:
                        continue
                    if producer is None:
                        assert emit(api, "demo", {"x": number}, 1) == (1 if live else 0)
                        for j in live:
                            expected[j].append(number)
                    else:
                        # A tick sampled from now on reaches every subscription inside.
                        before, deadline = {j: subscriptions[j].pending for j in live}, time.monotonic() + 60
                        while any(subscriptions[j].pending == before[j] for j in live):
                            assert time.monotonic() < deadline, "a tick missed a subscription inside"
                            await asyncio.sleep(0.001)
            finally:
                stop.set()
                if producer is not None:
                    await producer
            received = {i: [n.payload["ticks" if producer else "x"] for n in await drain(s)]
                        for i, s in enumerate(subscriptions)}
            return expected, received, ticks_when_left

    expected, received, ticks_when_left = asyncio.run(main())
    # Copying the path's subscriptions on every change stores about count**2 / 2.
    assert stored[0] <= 4 * count, stored[0]
    if deliveries == "between steps":
        assert received == expected
    else:
        for i, ticks in received.items():
            if ticks:
                assert ticks == list(range(ticks[0], ticks[-1] + 1)), i
                assert ticks[-1] <= ticks_when_left[i], i


def test_clients_on_one_path_get_their_own_notifications_only():
    """The module calls every handler of a path for every client object's
    registrations; each client takes those of its own framework object only."""
    first, second = Corvane.CorvaneJson(QUIET), Corvane.CorvaneJson(QUIET)

    async def main():
        async with AsyncClient(client=first) as a, AsyncClient(client=second) as b:
            async with a.subscribe("demo.x", "a") as from_a, b.subscribe("demo.x", "b") as from_b:
                emit(first, "demo", {"x": "first"}, 3)
                emit(second, "demo", {"x": "second"}, 2)
                return await drain(from_a), await drain(from_b)

    from_a, from_b = asyncio.run(main())
    assert from_a == [Notification("demo", {"x": "first"}, "a")] * 3
    assert from_b == [Notification("demo", {"x": "second"}, "b")] * 2


def test_a_notification_naming_several_watched_paths_reaches_each_once():
    api = Corvane.CorvaneJson(QUIET)

    async def main():
        async with AsyncClient(client=api) as client:
            async with client.subscribe("demo.x") as x, client.subscribe("demo.y") as y:
                # Both registrations match; the client's one context makes it one delivery.
                assert emit(api, "demo", {"x": 1, "y": 2}, 1) == 1
                return await drain(x), await drain(y)

    x, y = asyncio.run(main())
    assert [n.payload for n in x] == [{"x": 1, "y": 2}]
    assert [n.payload for n in y] == [{"x": 1, "y": 2}]


@pytest.mark.parametrize("how", ["leave", "cancel", "error"])
def test_leaving_the_block_withdraws_the_registration(how):
    api = Corvane.CorvaneJson(QUIET)

    async def subscriber(entered):
        async with AsyncClient(client=api).subscribe("demo.x") as subscription:
            entered.set()
            if how == "leave":
                return
            if how == "error":
                raise LookupError("out")
            async for _ in subscription:
                pass

    async def main():
        entered = asyncio.Event()
        task = asyncio.create_task(subscriber(entered))
        await entered.wait()
        if how == "cancel":
            assert emit(api, "demo", {"x": 1}, 1) == 1  # registered while it waits
            task.cancel()
        with contextlib.suppress(asyncio.CancelledError, LookupError):
            await task
        return emit(api, "demo", {"x": 1}, 3)

    assert asyncio.run(main()) == 0


def test_asyncio_run_ending_withdraws_subscriptions_of_unfinished_tasks():
    api = Corvane.CorvaneJson(QUIET)

    async def main():
        client = AsyncClient(client=api)
        entered = asyncio.Event()

        async def background():
            async with client.subscribe("demo.x") as subscription:
                entered.set()
                async for _ in subscription:
                    pass

        asyncio.create_task(background())
        await entered.wait()
        assert emit(api, "demo", {"x": 1}, 2) == 2

    with silence_checked() as reports:
        asyncio.run(main())  # cancels the background task on its way out
    assert emit(api, "demo", {"x": 1}, 2) == 0
    assert reports == {"unraisable": [], "warnings": [], "log": []}


def test_a_loop_closed_while_the_framework_delivers_withdraws_quietly():
    """The loop is closed under a subscription while the framework's thread is in the
    middle of 100 000 deliveries: those that find the loop closed are dropped, the
    first of them withdraws the registration, and nothing is reported anywhere."""
    api = Corvane.CorvaneJson(QUIET)
    client = AsyncClient(client=api)
    loop = asyncio.new_event_loop()
    state = {}

    async def consume():
        async with client.subscribe("demo.x", maxsize=10) as subscription:
            state["subscription"] = subscription
            async for _ in subscription:
                pass

    task = loop.create_task(consume())
    loop.run_until_complete(asyncio.sleep(0))
    subscription = state["subscription"]
    delivering = threading.Event()
    result = {}

    def deliver():
        delivering.set()
        result["deliveries"] = emit(api, "demo", {"x": 1}, 100_000)

    with silence_checked() as reports:
        worker = threading.Thread(target=deliver)
        worker.start()
        delivering.wait()
        while subscription.pending == 0 and worker.is_alive():
            pass  # until the framework's thread has begun to deliver
        loop.close()  # the task is still inside the block
        worker.join()
        after = emit(api, "demo", {"x": 1}, 5)
    assert 0 < result["deliveries"] < 100_000  # withdrawn part way through
    assert after == 0
    assert subscription.pending == 0
    assert reports == {"unraisable": [], "warnings": [], "log": []}
    # The abandoned task's coroutine ends as any would, without a report of its own.
    task._log_destroy_pending = False
    task.get_coro().close()
    client.close()


def test_a_subscription_is_entered_once_and_iterated_inside_its_block():
    async def main():
        async with AsyncClient(QUIET) as client:
            subscription = client.subscribe("demo.x")
            with pytest.raises(RuntimeError, match="async with"):
                await subscription.__anext__()
            async with subscription:
                pass
            with pytest.raises(RuntimeError, match="once"):
                async with subscription:
                    pass
            for bad in (0, -1, True, 1.5):
                with pytest.raises(ValueError):
                    client.subscribe("demo.x", maxsize=bad)
            with pytest.raises(ValueError):
                client.subscribe("demo.x", overflow="drop_all")

    asyncio.run(main())
