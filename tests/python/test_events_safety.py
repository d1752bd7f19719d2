"""Context lifetime, failures inside a dispatch, and changes to the table mid-dispatch."""

import gc
import json
import sys
import threading
import weakref

import pytest

import Corvane
from event_support import (Recorder, double_command, emit, event_machine,  # noqa: F401
                           unraisable_reports, watchdog)

QUIET = '{"simulate_sensors": false}'


class Context:
    def __init__(self, tag):
        self.tag = tag


@pytest.fixture
def client(framework_machine):
    return Corvane.ClientApi(QUIET)


@pytest.fixture
def double(event_machine):
    return Corvane.ClientApi()


class TestContextLifetime:
    def test_dropped_context_is_still_delivered(self, client):
        handler = Recorder()
        context = Context("kept")
        alive = weakref.ref(context)
        client.RegisterEvent("c.a", handler, context)
        del context
        gc.collect()
        assert alive() is not None
        emit(client, "c", '{"a": 1}')
        assert [(source, ctx.tag) for source, _, ctx in handler.calls] == [("c", "kept")]
        handler.calls.clear()
        client.UnregisterEvent("c.a", handler)
        gc.collect()
        assert alive() is None

    def test_context_is_kept_until_the_last_handler_of_the_path_goes(self, client):
        first, second = Recorder("1"), Recorder("2")
        context = Context("shared")
        alive = weakref.ref(context)
        client.RegisterEvent("c.a", first, context)
        client.RegisterEvent("c.a", second, Context("other"))
        client.RegisterEvent("c.b", second, context)
        del context
        client.UnregisterEvent("c.a", first)
        client.UnregisterEvent("c.a", second)
        gc.collect()
        assert alive() is not None  # c.b still registered with it
        client.UnregisterEvent("c.b", second)
        gc.collect()
        assert alive() is None

    def test_late_delivery_for_a_withdrawn_context_is_dropped(self, double):
        handler = Recorder()
        withdrawn = Context("withdrawn")
        double.RegisterEvent("c.a", handler, withdrawn)
        double.UnregisterEvent("c.a", handler)
        double.RegisterEvent("c.a", handler, Context("current"))
        # The library still delivers for the withdrawn registration.
        double_command(double, "events.emit_withdrawn", source="c", payload='{"a": 1}')
        assert handler.calls == []
        double_command(double, "events.emit", source="c", payload='{"a": 1}')
        assert [ctx.tag for _, _, ctx in handler.calls] == ["current"]
        handler.calls.clear()
        double.UnregisterEvent("c.a", handler)
        assert withdrawn.tag == "withdrawn"

    def test_late_delivery_never_reaches_a_new_context_at_a_freed_address(self, double):
        handler, other = Recorder("withdrawn path"), Recorder("other path")
        withdrawn = object()
        address = id(withdrawn)
        double.RegisterEvent("c.a", handler, withdrawn)
        double.UnregisterEvent("c.a", handler)
        del withdrawn
        # Allocate until a new object takes the freed address, as the fault was found.
        allocated = [object() for _ in range(200_000)]
        reused = next((candidate for candidate in allocated if id(candidate) == address), None)
        assert reused is not None, "no new object took the freed address"
        del allocated
        double.RegisterEvent("d.b", other, reused)
        double.RegisterEvent("c.a", handler, Context("current"))
        double_command(double, "events.emit_withdrawn", source="c", payload='{"a": 1}')
        assert (handler.calls, other.calls) == ([], [])
        double_command(double, "events.emit", source="c", payload='{"a": 1}')
        assert [ctx.tag for _, _, ctx in handler.calls] == ["current"]
        double.UnregisterEvent("c.a", handler)
        double.UnregisterEvent("d.b", other)


class TestFailuresInDispatch:
    def test_raising_handler_is_reported_and_ends_the_notification(self, client):
        log = []

        def raiser(source, payload, context):
            log.append("raiser")
            raise ValueError("handler failed")

        after = Recorder("after", log)
        client.RegisterEvent("f.a", raiser)
        client.RegisterEvent("f.b", after)
        with unraisable_reports() as reports:
            emit(client, "f", '{"a": 1, "b": 2}')
        assert log == ["raiser"]
        assert reports == [(ValueError, "handler failed", raiser)]
        # The process lives on and later notifications are delivered.
        with unraisable_reports() as reports:
            emit(client, "f", '{"b": 2}', count=3)
        assert (after.count, reports) == (3, [])
        client.UnregisterEvent("f.a", raiser)
        client.UnregisterEvent("f.b", after)

    def test_raising_handler_ends_the_walk_of_its_own_path(self, client):
        log = []
        handlers = [Recorder(f"h{i}", log) for i in range(4)]
        ordered = sorted(handlers, key=id)

        def fail(recorder):
            raise RuntimeError("second fails")

        ordered[1].action = fail
        for handler in handlers:
            client.RegisterEvent("f.a", handler)
        with unraisable_reports() as reports:
            emit(client, "f", '{"a": 1}')
        assert log == [ordered[0].name, ordered[1].name]
        assert [r[0] for r in reports] == [RuntimeError]
        for handler in handlers:
            client.UnregisterEvent("f.a", handler)

    def test_payload_that_is_not_json_is_reported(self, client):
        handler = Recorder()
        client.RegisterEvent("f.a", handler)
        with unraisable_reports() as reports:
            emit(client, "f", '{"a": 1')
        assert handler.calls == []
        assert [(r[0], r[2]) for r in reports] == [(Corvane.JsonException, "Corvane event dispatch")]
        client.UnregisterEvent("f.a", handler)

    def test_source_that_is_not_utf8_is_reported(self, double):
        handler = Recorder()
        double.RegisterEvent(b"f\xff.a", handler)
        with unraisable_reports() as reports:
            double_command(double, "events.emit", source_hex=b"f\xff".hex(), payload='{"a": 1}')
        assert handler.calls == []
        assert [r[0] for r in reports] == [UnicodeDecodeError]
        double.UnregisterEvent(b"f\xff.a", handler)

    def test_payload_that_is_not_utf8_is_reported(self, double):
        handler = Recorder()
        double.RegisterEvent("f.a", handler)
        with unraisable_reports() as reports:
            double_command(double, "events.emit", source="f", payload_hex=b'{"a": "\xff"}'.hex())
        assert handler.calls == []
        # The parser refuses malformed UTF-8 before any text is decoded.
        assert [r[0] for r in reports] == [Corvane.JsonException]
        double.UnregisterEvent("f.a", handler)

    def test_failure_in_a_thread_the_library_does_not_guard(self, double):
        # The double lets nothing escape its threads; an escaping error would end the
        # process.
        def raiser(source, payload, context):
            raise KeyError("x")

        double.RegisterEvent("f.a", raiser)
        with unraisable_reports() as reports:
            double_command(double, "events.emit", source="f", payload='{"a": 1}', count=5, threads=3)
        assert len(reports) == 15
        double.UnregisterEvent("f.a", raiser)


class TestDispatchThreads:
    def test_delivery_on_the_thread_that_holds_the_lock(self, double):
        threads = []
        handler = Recorder(action=lambda me: threads.append(threading.get_ident()))
        double.RegisterEvent("i.", handler)
        double.GetValue("i")  # the library calls back before it returns
        assert handler.calls == [("i", '"inline"', None)]
        assert threads == [threading.get_ident()]
        double.UnregisterEvent("i.", handler)

    def test_delivery_on_threads_the_interpreter_has_never_seen(self, double):
        threads = set()
        handler = Recorder(action=lambda me: threads.add(threading.get_ident()))
        double.RegisterEvent("u.a", handler)
        double_command(double, "events.emit", source="u", payload='{"a": 1}', count=10, threads=4)
        assert handler.count == 40
        assert threading.get_ident() not in threads
        double.UnregisterEvent("u.a", handler)


class TestChangesDuringDispatch:
    """A notification goes to the handlers registered when its dispatch began."""

    def test_handler_removed_mid_walk_is_still_called(self, client):
        log = []
        first, second = sorted([Recorder("x", log), Recorder("y", log)], key=id)
        first.action = lambda me: me.count == 1 and client.UnregisterEvent("m.a", second)
        client.RegisterEvent("m.a", first)
        client.RegisterEvent("m.a", second)
        emit(client, "m", '{"a": 1}')
        assert log == [first.name, second.name]
        emit(client, "m", '{"a": 1}')
        assert log == [first.name, second.name, first.name]
        client.UnregisterEvent("m.a", first)

    def test_handler_removed_from_a_later_item_is_still_called(self, client):
        log = []
        first, later = Recorder("first", log), Recorder("later", log)
        first.action = lambda me: client.UnregisterEvent("m.b", later)
        client.RegisterEvent("m.a", first)
        client.RegisterEvent("m.b", later)
        emit(client, "m", '{"a": 1, "b": 2}')
        assert log == ["first", "later"]
        client.UnregisterEvent("m.a", first)

    def test_handler_removing_itself_and_its_path(self, client):
        handler = Recorder()
        handler.action = lambda me: client.UnregisterEvent("m.a", me)
        before = sys.getrefcount(handler)
        client.RegisterEvent("m.a", handler)
        emit(client, "m", '{"a": 1}', count=3)
        assert handler.count == 1
        assert sys.getrefcount(handler) == before

    def test_handler_added_mid_dispatch_waits_for_the_next_notification(self, client):
        log = []
        added = Recorder("added", log)
        adder = Recorder("adder", log)
        adder.action = lambda me: client.RegisterEvent("m.b", added)
        client.RegisterEvent("m.a", adder)
        emit(client, "m", '{"a": 1, "b": 2}')
        assert log == ["adder"]
        emit(client, "m", '{"a": 1, "b": 2}')
        assert log == ["adder", "adder", "added"]
        client.UnregisterEvent("m.a", adder)
        client.UnregisterEvent("m.b", added)

    def test_handler_emitting_from_within_a_dispatch(self, client):
        inner = Recorder("inner")
        outer = Recorder("outer")
        outer.action = lambda me: emit(client, "m", json.dumps({"i": me.count}))
        client.RegisterEvent("m.o", outer)
        client.RegisterEvent("m.i", inner)
        emit(client, "m", '{"o": 1}')
        assert (outer.count, inner.count) == (1, 1)
        client.UnregisterEvent("m.o", outer)
        client.UnregisterEvent("m.i", inner)
