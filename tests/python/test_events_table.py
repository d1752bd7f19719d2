"""The handler table: one element per callable and path, and the library calls it makes."""

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
        handler = Recorder()
        client.RegisterEvent("tb.a", handler)
        double_machine.script(UnregisterEvent={"throw": "FrameworkException", "message": "busy"})
        before = sys.getrefcount(handler)
        with pytest.raises(Corvane.FrameworkException, match="busy"):
            client.UnregisterEvent("tb.a", handler)
        assert sys.getrefcount(handler) == before - 1
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


def refused_by_the_double(client, path, handler, context):
    double_command(client, "events.refuse", count=REFUSALS)
    for _ in range(REFUSALS):
        with pytest.raises(Corvane.AccessDeniedException, match="^registration refused$"):
            client.RegisterEvent(path, handler, context)


def refused_by_the_framework(client, path, handler, context):
    for _ in range(REFUSALS):
        with pytest.raises(Corvane.InvalidArgumentException, match="^Event path is empty$"):
            client.RegisterEvent("", handler, context)


# How a library refuses registrations: the machine, the refusal, and how to have it
# deliver a notification.
REFUSERS = {
    "the library refuses the path": ("event_machine", refused_by_the_double,
                                     lambda client, source: emit(client, source, '{"a": 1}')),
    "the sample framework refuses an empty path": (
        "framework_machine", refused_by_the_framework,
        lambda client, source: command(client, "diagnostics.emit", source=source, payload='{"a": 1}')),
}

# Registrations of the path that stand before the refused ones: (handler, context).
BEFORE = {
    "nothing": [],
    "the same handler and context": [("victim", "context")],
    "another handler, the same context": [("witness", "context")],
    "another handler and context": [("witness", "other")],
}


def observe(client, source, before, refuse, deliver):
    """What handlers and references show, with refuse run between the registrations
    of before and a later registration of another handler (None: not run)."""
    objects = {"victim": Recorder("victim"), "witness": Recorder("witness"),
               "context": Named("context"), "other": Named("other"), "later": Named("later")}
    path = source + ".a"
    for handler, context in before:
        client.RegisterEvent(path, objects[handler], objects[context])
    counts = [sys.getrefcount(objects[name]) for name in ("victim", "context")]
    if refuse is not None:
        refuse(client, path, objects["victim"], objects["context"])
    kept = [sys.getrefcount(objects[name]) - count for name, count in zip(("victim", "context"), counts)]
    client.RegisterEvent(path, objects["witness"], objects["later"])
    deliver(client, source)
    calls = {name: sorted(context.name for _, _, context in objects[name].calls) for name in ("victim", "witness")}
    for handler in {objects[handler] for handler, _ in before} | {objects["witness"]}:
        client.UnregisterEvent(path, handler)
    return kept, calls


@pytest.mark.parametrize("before", sorted(BEFORE))
@pytest.mark.parametrize("refuser", sorted(REFUSERS))
@pytest.mark.parametrize("cls", ["ClientApi", "CorvaneJson"])
def test_refused_registrations_leave_the_table_as_it_was(cls, refuser, before, request):
    machine, refuse, deliver = REFUSERS[refuser]
    request.getfixturevalue(machine)
    client = getattr(Corvane, cls)()
    refused = observe(client, "refused", BEFORE[before], refuse, deliver)
    unrefused = observe(client, "unrefused", BEFORE[before], None, deliver)
    assert refused == unrefused
    assert refused[0] == [0, 0]
