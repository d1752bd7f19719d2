"""Register, unregister and query against the catalog double: the calls made, the
result codes, and the catalog document byte for byte."""

import json
import subprocess

import pytest

from conftest import BANNER, CLOSED, touch

FAILURE_KINDS = ["family", "standard", "foreign"]


@pytest.fixture
def providers(workdir):
    return [touch(workdir / name) for name in ("first.dll", "second.dll", "third.dll")]


class TestRegister:
    def test_registers_every_path_in_order(self, catalog, machine, providers):
        run = machine.run("-r", *providers)
        assert run.code == 0
        assert run.out == BANNER + CLOSED
        assert run.err == b""
        assert catalog.calls() == [("create", "")] + [("register", str(p)) for p in providers] \
            + [("destroy",)]

    def test_relative_path_is_passed_as_written(self, catalog, machine, workdir):
        touch(workdir / "sub" / "a.dll")
        run = machine.run("-r", "sub/a.dll", cwd=workdir)
        assert run.code == 0
        assert ("register", "sub/a.dll") in catalog.calls()

    def test_same_path_twice_is_registered_twice(self, catalog, machine, providers):
        run = machine.run("-r", providers[0], providers[0])
        assert run.code == 0
        assert catalog.calls().count(("register", str(providers[0]))) == 2

    @pytest.mark.parametrize("kind", FAILURE_KINDS)
    def test_stops_at_first_failure(self, catalog, machine, providers, kind):
        catalog.script(register_fails={str(providers[1]): kind})
        run = machine.run("-r", *providers)
        assert run.code == 1
        assert run.out == BANNER + CLOSED
        assert run.err == b"Registration failed with exception\n"
        # The first stays registered, the third is never tried.
        assert catalog.calls() == [("create", ""), ("register", str(providers[0])),
                                   ("register", str(providers[1])), ("destroy",)]


class TestUnregister:
    def test_unregisters_every_path_in_order(self, catalog, machine, providers):
        run = machine.run("-u", *providers)
        assert run.code == 0
        assert run.out == BANNER + CLOSED
        assert run.err == b""
        assert catalog.calls() == [("create", "")] + [("unregister", str(p)) for p in providers] \
            + [("destroy",)]

    @pytest.mark.parametrize("kind", FAILURE_KINDS)
    def test_stops_at_first_failure(self, catalog, machine, providers, kind):
        catalog.script(unregister_fails={str(providers[0]): kind})
        run = machine.run("-u", *providers)
        assert run.code == 2
        assert run.out == BANNER + CLOSED
        assert run.err == b"Unregistration failed with exception\n"
        assert catalog.calls() == [("create", ""), ("unregister", str(providers[0])), ("destroy",)]

    def test_failure_of_register_does_not_affect_unregister(self, catalog, machine, providers):
        catalog.script(register_fails={str(providers[0]): "family"})
        assert machine.run("-u", providers[0]).code == 0


class TestQuery:
    def query(self, catalog, machine, entries):
        catalog.script(entries=entries)
        return machine.run("-q")

    def test_worked_example_byte_for_byte(self, catalog, machine):
        run = self.query(catalog, machine, ['{"b":[true],"a":1}', "7"])
        assert run.code == 0
        document = (b'{\n'
                    b'    "provider_catalog": [\n'
                    b'        {\n'
                    b'            "a": 1,\n'
                    b'            "b": [\n'
                    b'                true\n'
                    b'            ]\n'
                    b'        },\n'
                    b'        7\n'
                    b'    ]\n'
                    b'}\n')
        # The document is printed while the catalog is still open.
        assert run.out == BANNER + document + CLOSED
        assert run.err == b""
        assert catalog.calls() == [("create", ""), ("query",), ("destroy",)]

    def test_empty_catalog_prints_null(self, catalog, machine):
        run = self.query(catalog, machine, [])
        assert run.code == 0
        assert run.out == BANNER + b"null\n" + CLOSED

    def test_entries_of_any_kind_keep_their_order(self, catalog, machine):
        entries = ['"text"', " [1, 2.5, null] ", "-3", '{"z":{"y":1,"x":[]},"a":{}}', "false"]
        run = self.query(catalog, machine, entries)
        assert run.code == 0
        printed = run.out[len(BANNER):-len(CLOSED)]
        assert json.loads(printed) == {"provider_catalog": [json.loads(e) for e in entries]}
        # Keys sorted at every level, empty containers compact, the entry's own
        # white space gone.
        assert b'"a": {},\n            "z": {\n                "x": [],\n                "y": 1' \
            in printed

    def test_non_ascii_text_is_written_as_utf8(self, catalog, machine):
        run = self.query(catalog, machine, ['"Gr\\u00fc\\u00dfe \u2713"'])
        assert run.code == 0
        assert "Grüße ✓".encode() in run.out

    def test_paths_after_q_are_checked_but_unused(self, catalog, machine, providers):
        catalog.script(entries=["1"])
        run = machine.run("-q", *providers)
        assert run.code == 0
        assert catalog.calls() == [("create", ""), ("query",), ("destroy",)]

    @pytest.mark.parametrize("bad", ["{", "1 2", "{} x", "", " ", "// note\n1", "[1,]", "'a'",
                                     "{\"a\":1,}", "nul", "/* c */ {}", "\"unterminated"])
    def test_bad_entry_writes_nothing(self, catalog, machine, bad):
        run = self.query(catalog, machine, ["1", bad, "2"])
        assert run.code == 3
        assert run.out == BANNER + CLOSED
        assert run.err == b"Faild to read catalog with exception\n"

    @pytest.mark.parametrize("kind", FAILURE_KINDS)
    def test_failing_query_gives_3(self, catalog, machine, kind):
        catalog.script(query=kind)
        run = machine.run("-q")
        assert run.code == 3
        assert run.out == BANNER + CLOSED
        assert run.err == b"Faild to read catalog with exception\n"

    def test_nesting_up_to_the_bound_is_printed(self, catalog, machine):
        run = self.query(catalog, machine, ["[" * 512 + "]" * 512])
        assert run.code == 0
        assert json.loads(run.out[len(BANNER):-len(CLOSED)]) is not None

    @pytest.mark.parametrize("depth", [513, 100000])
    def test_deeper_nesting_fails_the_query(self, catalog, machine, depth):
        run = self.query(catalog, machine, ["1", "[" * depth + "]" * depth])
        assert run.code == 3
        assert run.out == BANNER + CLOSED
        assert run.err == b"Faild to read catalog with exception\n"

    def test_deep_objects_are_bounded_too(self, catalog, machine):
        run = self.query(catalog, machine, ['{"a":' * 100000 + "1" + "}" * 100000])
        assert run.code == 3

    def test_document_that_cannot_be_written_is_a_failure(self, catalog, machine):
        catalog.script(entries=["1"])
        with open("/dev/full", "wb") as full:
            run = machine.run("-q", stdout=full)
        assert run.code == 3
        assert run.err == b"Faild to read catalog with exception\n"


def test_help_runs_no_operation(catalog, machine, providers):
    run = machine.run("-h", *providers)
    assert run.code == 6
    assert catalog.calls() == [("create", ""), ("destroy",)]
