"""The handler table: one element per callable and path, and the library calls it makes."""

import asyncio
import gc
import sys

import pytest

import Corvane
from event_support import Recorder, command, double_command, double_counts, event_machine, watchdog  # noqa: F401


@pytest.fixture
def client(event_machine):
    return Corvane.ClientApi()


def emit(client, source, payload, count=1):
    double_command(client, "events.emit", source=source, payload=payload, count=count)


class TestRegisterTwice:
    def test_one_element_two_library_registrations_one_unregistration(self, client):
        handler = Recorder()
        client.RegisterEvent("tb.a", handler)
        client.RegisterEvent("tb.a", handler)
        assert double_counts(client)["RegisterEvent"] == {"tb.a": 2}
        emit(client, "tb", '{"a": 1}')
        assert handler.count == 1
        client.UnregisterEvent("tb.a", handler)
        assert double_counts(client)["UnregisterEvent"] == {"tb.a": 1}
        # The element is gone with the one removal.
        client.UnregisterEvent("tb.a", handler)
        assert double_counts(client)["UnregisterEvent"] == {"tb.a": 1}

    def test_library_hears_only_of_the_last_handler_going(self, client):
        first, second = Recorder("1"), Recorder("2")
        client.RegisterEvent("tb.a", first)
        client.RegisterEvent("tb.a", second)
        client.UnregisterEvent("tb.a", first)
        assert double_counts(client)["UnregisterEvent"] == {}
        emit(client, "tb", '{"a": 1}')
        assert (first.count, second.count) == (0, 1)
        client.UnregisterEvent("tb.a", second)
        assert double_counts(client)["UnregisterEvent"] == {"tb.a": 1}

    def test_equal_but_distinct_handlers_are_two_elements(self, client):
        class AlwaysEqual(Recorder):
            def __eq__(self, other):
                return True

            def __hash__(self):
                return 0

        first, second = AlwaysEqual("1"), AlwaysEqual("2")
        client.RegisterEvent("tb.a", first)
        client.RegisterEvent("tb.a", second)
        emit(client, "tb", '{"a": 1}')
        assert (first.count, second.count) == (1, 1)
        client.UnregisterEvent("tb.a", first)
        emit(client, "tb", '{"a": 1}')
        assert (first.count, second.count) == (1, 2)
        client.UnregisterEvent("tb.a", second)


class TestUnregister:
    def test_second_bound_method_object_was_not_registered(self, client):
        class Listener:
            def on_event(self, source, payload, context):
                pass

        listener = Listener()
        bound = listener.on_event
        client.RegisterEvent("tb.a", bound)
        with pytest.raises(Corvane.FrameworkException, match="^Callback was not registered for event$"):
            client.UnregisterEvent("tb.a", listener.on_event)
        assert double_counts(client)["UnregisterEvent"] == {}
        client.UnregisterEvent("tb.a", bound)
        assert double_counts(client)["UnregisterEvent"] == {"tb.a": 1}

    def test_other_handler_under_existing_path_leaves_table_alone(self, client):
        handler = Recorder()
        client.RegisterEvent("tb.a", handler)
        with pytest.raises(Corvane.FrameworkException):
            client.UnregisterEvent("tb.a", Recorder())
        emit(client, "tb", '{"a": 1}')
        assert handler.count == 1
        client.UnregisterEvent("tb.a", handler)

    def test_unknown_path_is_silent(self, client):
        client.UnregisterEvent("never.registered", Recorder())
        client.UnregisterEvent("never.registered", print)
        assert double_counts(client)["UnregisterEvent"] == {}

    def test_unregistration_goes_through_the_calling_object(self, event_machine):
        registrar, remover = Corvane.ClientApi(), Corvane.CorvaneJson()
        handler = Recorder()
        registrar.RegisterEvent("tb.a", handler)
        remover.UnregisterEvent("tb.a", handler)
        assert double_counts(registrar)["UnregisterEvent"] == {}
        assert double_counts(remover)["UnregisterEvent"] == {"tb.a": 1}
        # The table lost the handler, although the registrar's library still delivers.
        emit(registrar, "tb", '{"a": 1}')
        assert handler.count == 0


class TestReferences:
    def test_table_holds_one_reference_per_element(self, client):
        handler = Recorder()
        before = sys.getrefcount(handler)
        client.RegisterEvent("tb.a", handler)
        client.RegisterEvent("tb.a", handler)
        client.RegisterEvent("tb.b", handler)
        assert sys.getrefcount(handler) == before + 2
        client.UnregisterEvent("tb.a", handler)
        client.UnregisterEvent("tb.b", handler)
        assert sys.getrefcount(handler) == before

    def test_dispatch_leaves_reference_counts_as_they_were(self, client):
        handler, context = Recorder(), object()
        client.RegisterEvent("tb.a", handler, context)
        handler_refs, context_refs = sys.getrefcount(handler), sys.getrefcount(context)
        emit(client, "tb", '{"a": 1}', count=20)
        handler.calls.clear()
        assert (sys.getrefcount(handler), sys.getrefcount(context)) == (handler_refs, context_refs)
        client.UnregisterEvent("tb.a", handler)


class TestLibraryFailures:
    def test_failed_library_unregistration_removes_the_handler(self, double_machine):
        client = Corvane.ClientApi()
        handler, context = Recorder(), Named("context")
        context_refs = sys.getrefcount(context)
        client.RegisterEvent("tb.a", handler, context)
        double_machine.script(UnregisterEvent={"throw": "FrameworkException", "message": "busy"})
        before = sys.getrefcount(handler)
        with pytest.raises(Corvane.FrameworkException, match="busy"):
            client.UnregisterEvent("tb.a", handler)
        assert sys.getrefcount(handler) == before - 1
        # Nothing of the module's own outlives the withdrawal: no registration made
        # with the context stands for the path.
        assert sys.getrefcount(context) == context_refs
        double_machine.script()
        # The path kept an empty entry: the handler is unknown under it now.
        with pytest.raises(Corvane.FrameworkException, match="Callback was not registered for event"):
            client.UnregisterEvent("tb.a", handler)
        # A later registration fills the entry again and its removal withdraws the path.
        client.RegisterEvent("tb.a", handler)
        client.UnregisterEvent("tb.a", handler)
        assert len(double_machine.calls("UnregisterEvent")) == 2


REFUSALS = 2000


class Named:
    def __init__(self, name):
        self.name = name


def refused_by_the_double(client, path, handlers, context):
    double_command(client, "events.refuse", count=len(handlers))
    for handler in handlers:
        with pytest.raises(Corvane.AccessDeniedException, match="^registration refused$"):
            client.RegisterEvent(path, handler, context)


def refused_by_the_framework(client, path, handlers, context):
    for handler in handlers:
        with pytest.raises(Corvane.InvalidArgumentException, match="^Event path is empty$"):
            client.RegisterEvent(path, handler, context)


# How a library refuses registrations: the machine, the refusal, the path it refuses
# under a source, and how to have it deliver a notification.
REFUSERS = {
    "the library refuses the path": ("event_machine", refused_by_the_double, lambda source: source + ".a",
                                     lambda client, source: emit(client, source, '{"a": 1}')),
    "the sample framework refuses an empty path": (
        "framework_machine", refused_by_the_framework, lambda source: "",
        lambda client, source: command(client, "diagnostics.emit", source=source, payload='{"a": 1}')),
}

# Registrations of the path that stand before the refused ones: (handler, context).
BEFORE = {
    "nothing": [],
    "the same handler and context": [("victim", "context")],
    "another handler, the same context": [("witness", "context")],
    "another handler and context": [("witness", "other")],
}


@pytest.mark.parametrize("distinct", [False, True], ids=["one handler retried", "distinct handlers"])
@pytest.mark.parametrize("before", sorted(BEFORE))
@pytest.mark.parametrize("refuser", sorted(REFUSERS))
@pytest.mark.parametrize("cls", ["ClientApi", "CorvaneJson"])
def test_refused_registrations_keep_their_handlers_and_nothing_else(cls, refuser, before, distinct, request):
    machine, refuse, refused_path, deliver = REFUSERS[refuser]
    request.getfixturevalue(machine)
    counted = machine == "event_machine"
    client = getattr(Corvane, cls)()
    objects = {"victim": Recorder("victim"), "witness": Recorder("witness"),
               "context": Named("context"), "other": Named("other"), "later": Named("later")}
    context_refs = sys.getrefcount(objects["context"])
    # A source of its own, so that a failure leaves nothing in the way of the next case.
    source = "refused " + request.node.callspec.id
    path, refused = source + ".a", refused_path(source)
    for handler, context in BEFORE[before]:
        client.RegisterEvent(path, objects[handler], objects[context])
    victims = [Recorder(f"victim {n}") for n in range(REFUSALS)] if distinct else [objects["victim"]] * REFUSALS
    unique = list({id(victim): victim for victim in victims}.values())
    tracked = unique + [objects["context"]]
    counts = [sys.getrefcount(o) for o in tracked]
    refuse(client, refused, victims, objects["context"])
    kept = [sys.getrefcount(o) for o in tracked]
    # Each refused handler is one element of the table, however often it was retried;
    # the context is not kept for the refused registrations.
    standing = {id(objects[h]) for h, _ in BEFORE[before]} if refused == path else set()
    assert [now - then for now, then in zip(kept, counts)] == [
        int(id(victim) not in standing) for victim in unique] + [0]

    # They run for the notifications that the registrations standing for the path bring.
    client.RegisterEvent(path, objects["witness"], objects["later"])
    deliver(client, source)
    contexts = sorted({objects[context].name for _, context in BEFORE[before]} | {"later"})
    for victim in unique:
        stands = refused == path or victim in [objects[h] for h, _ in BEFORE[before]]
        assert sorted(context.name for _, _, context in victim.calls) == (contexts if stands else [])
    for recorder in unique + [objects["victim"], objects["witness"]]:
        recorder.calls.clear()  # the calls hold contexts

    # UnregisterEvent takes them out, and the path's last handler reaches the library.
    withdrawn = double_counts(client)["UnregisterEvent"].get(path, 0) if counted else 0
    for victim in unique:
        client.UnregisterEvent(refused, victim)
    done = {id(victim) for victim in unique} if refused == path else set()
    for handler in {id(objects[h]): objects[h] for h, _ in BEFORE[before] + [("witness", None)]}.values():
        if id(handler) not in done:
            client.UnregisterEvent(path, handler)
    if counted:
        assert double_counts(client)["UnregisterEvent"][path] == withdrawn + 1
    del tracked
    context_refs_after = sys.getrefcount(objects["context"])
    assert context_refs_after == context_refs


def test_a_refused_subscription_leaves_nothing_of_the_async_client_in_the_table(framework_machine):
    """The table keeps a handler whose registration was refused: the asyncio client
    takes its own back, so the refused path holds nothing of the client's."""
    from corvane_tools import AsyncClient

    def feeds():
        return sum(type(o).__name__ == "_Feed" for o in gc.get_objects())

    async def main():
        async with AsyncClient() as client:
            for _ in range(3):
                with pytest.raises(Corvane.InvalidArgumentException, match="^Event path is empty$"):
                    async with client.subscribe(""):
                        pass
            gc.collect()
            return feeds()

    assert asyncio.run(main()) == 0
