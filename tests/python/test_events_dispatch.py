"""Which handlers a notification reaches, in which order, with which arguments.

The sample framework's diagnostics.emit delivers each notification once to every
distinct (callback, context) pair registered under a path below the source; the
handlers then run by the payload's items.
"""

import json

import pytest

import Corvane
from event_support import Recorder, emit, watchdog  # noqa: F401

QUIET = '{"simulate_sensors": false}'


@pytest.fixture
def client(framework_machine):
    return Corvane.ClientApi(QUIET)


@pytest.fixture
def json_client(framework_machine):
    return Corvane.CorvaneJson({"simulate_sensors": False})


def register(client, *paths, context=None):
    log = []
    handlers = {path: Recorder(path, log) for path in paths}
    for path, handler in handlers.items():
        client.RegisterEvent(path, handler, context)
    return handlers, log


class TestItemWalk:
    def test_members_in_byte_order_of_names(self, client):
        handlers, log = register(client, "n.a", "n.b", "n.B")
        payload = '{"b": 1, "a": 2, "B": 3}'
        emit(client, "n", payload)
        assert log == ["n.B", "n.a", "n.b"]
        assert handlers["n.a"].calls == [("n", payload, None)]

    def test_repeated_member_name_is_one_item(self, client):
        handlers, log = register(client, "n.a")
        emit(client, "n", '{"a": 1, "a": 2}')
        assert log == ["n.a"]

    def test_array_elements_by_index(self, client):
        handlers, log = register(client, "n.0", "n.1", "n.2")
        emit(client, "n", '["x", {"y": 1}]')
        assert log == ["n.0", "n.1"]

    @pytest.mark.parametrize("payload", ['42', '-1.5', '"text"', 'true', 'false'])
    def test_scalar_goes_to_the_lone_dot(self, client, payload):
        handlers, log = register(client, "n.", "n.0")
        emit(client, "n", payload)
        assert handlers["n."].calls == [("n", payload, None)]
        assert log == ["n."]

    @pytest.mark.parametrize("payload", ['null', '{}', '[]', ' [ ] '])
    def test_empty_values_call_nothing(self, client, payload):
        handlers, log = register(client, "n.", "n.0", "n.null")
        emit(client, "n", payload)
        assert log == []

    def test_payload_is_passed_as_received_not_the_item(self, client):
        payload = '{ "a" : [1,2] ,\n "b":"\\u00e9" }'
        handlers, log = register(client, "n.a", "n.b")
        emit(client, "n", payload)
        assert [call[1] for call in handlers["n.a"].calls + handlers["n.b"].calls] == [payload, payload]

    def test_one_handler_under_two_matching_keys_is_called_twice(self, client):
        handler = Recorder()
        client.RegisterEvent("n.a", handler)
        client.RegisterEvent("n.b", handler)
        emit(client, "n", '{"a": 1, "b": 2}')
        assert handler.count == 2

    def test_paths_match_bytes_exactly(self, client):
        handlers, log = register(client, "n.A", "n.a ", "n.\u00e9")
        emit(client, "n", '{"a": 1, "\u00e9": 2}')
        assert log == ["n.\u00e9"]

    def test_every_count_delivers(self, client):
        handlers, _ = register(client, "n.a")
        emit(client, "n", '{"a": 1}', count=5)
        assert handlers["n.a"].count == 5


class TestHandlerOrder:
    def test_handlers_of_one_path_run_in_identity_order(self, client):
        log = []
        handlers = [Recorder(f"h{i}", log) for i in range(6)]
        for handler in reversed(handlers):
            client.RegisterEvent("n.a", handler)
        emit(client, "n", '{"a": 1}')
        by_identity = sorted(handlers, key=id)
        assert log == [h.name for h in by_identity]


class TestArguments:
    def test_context_defaults_to_none(self, client):
        handler = Recorder()
        client.RegisterEvent("n.a", handler)
        emit(client, "n", '{"a": 1}')
        assert handler.calls == [("n", '{"a": 1}', None)]

    def test_context_is_the_very_object_given(self, client):
        context = {"mine": [1, 2]}
        handler = Recorder()
        client.RegisterEvent(path="n.a", pyhandler=handler, context=context)
        emit(client, "n", '{"a": 1}')
        assert handler.calls[0][2] is context

    @pytest.mark.parametrize("paths", [("n.a", "n.a"), ("n.a", "n.b")])
    @pytest.mark.parametrize("names", [("one", "one"), ("one", "two")])
    def test_each_delivery_runs_every_handler_with_its_context(self, client, paths, names):
        # One delivery per context registered under the covered paths, and each runs
        # every handler of the notification's items: handlers are not tied to the
        # context they were registered with.
        contexts = {name: [name] for name in names}
        first, second = Recorder("1"), Recorder("2")
        for handler, path, name in zip((first, second), paths, names):
            client.RegisterEvent(path, handler, contexts[name])
        emit(client, "n", '{"a": 1, "b": 2}')
        for handler in (first, second):
            assert sorted(context[0] for _, _, context in handler.calls) == sorted(contexts)

    def test_texts_are_fresh_str_objects_per_call(self, client):
        first, second = Recorder("1"), Recorder("2")
        client.RegisterEvent("node.a", first)
        client.RegisterEvent("node.a", second)
        emit(client, "node", '{"a": 1}')
        assert first.calls[0][0] == second.calls[0][0] == "node"
        assert first.calls[0][0] is not second.calls[0][0]
        assert first.calls[0][1] is not second.calls[0][1]

    def test_return_value_is_ignored(self, client):
        calls = []

        def handler(source, payload, context):
            calls.append(source)
            return "ignored"

        client.RegisterEvent("n.a", handler)
        emit(client, "n", '{"a": 1}')
        assert calls == ["n"]

    def test_bytes_path_is_taken_as_is(self, client):
        handler = Recorder()
        client.RegisterEvent(b"n.\xc3\xa9", handler)
        emit(client, "n", '{"\u00e9": 1}')
        assert handler.count == 1


class TestSharedTable:
    def test_handlers_of_other_objects_and_classes_are_called(self, client, json_client):
        log = []
        text_handler, json_handler = Recorder("text", log), Recorder("json", log)
        client.RegisterEvent("n.a", text_handler)
        json_client.RegisterEvent("n.a", event=json_handler)
        emit(json_client, "n", '{"a": 1}')
        assert sorted(log) == ["json", "text"]
        # Only json_client's library registration delivered, yet both ran once.
        assert text_handler.count == json_handler.count == 1
        json_client.UnregisterEvent("n.a", text_handler)
        client.UnregisterEvent("n.a", json_handler)

    def test_registration_outlives_the_object(self, framework_machine):
        handler = Recorder()
        first = Corvane.ClientApi(QUIET)
        first.RegisterEvent("n.a", handler)
        del first
        second = Corvane.ClientApi(QUIET)
        second.RegisterEvent("n.b", Recorder())
        emit(second, "n", '{"a": 1}')
        assert handler.count == 1
        second.UnregisterEvent("n.a", handler)


class TestRegistrationArguments:
    def test_not_callable_handler_is_rejected(self, client):
        with pytest.raises(TypeError):
            client.RegisterEvent("n.a", 42)

    def test_unregister_takes_positional_arguments_only(self, client):
        handler = Recorder()
        client.RegisterEvent("n.a", handler)
        with pytest.raises(TypeError):
            client.UnregisterEvent(path="n.a", pyhandler=handler)
        client.UnregisterEvent("n.a", handler)
        emit(client, "n", '{"a": 1}')
        assert handler.count == 0

    def test_json_class_names_its_handler_event(self, json_client):
        handler = Recorder()
        json_client.RegisterEvent(path="n.a", event=handler, context=json)
        emit(json_client, "n", '{"a": 1}')
        assert handler.calls == [("n", '{"a": 1}', json)]
