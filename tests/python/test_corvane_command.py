"""The corvane command, run as a program (python -m corvane_tools) against the sample
framework and the scripted double, each in a private machine state."""

import datetime
import json
import os
import pty
import signal
import subprocess
import sys

import pytest

import Corvane

COMMAND = [sys.executable, "-m", "corvane_tools"]
FAST_SENSORS = ["--config", '{"interval_ms": 10}']


def corvane(*args, stdin=None):
    return subprocess.run([*COMMAND, *args], input=stdin, capture_output=True, text=True, timeout=120)


def succeeded(*args, stdin=None):
    result = corvane(*args, stdin=stdin)
    assert (result.returncode, result.stderr) == (0, ""), result
    return result.stdout


# ---------------------------------------------------------------------------------
# Every subcommand, compared with the module's own answer


@pytest.mark.parametrize("args, call", [
    (["get", "settings"], lambda c: c.GetValue("settings")),
    (["get"], lambda c: c.GetValue()),
    (["node", "sensors.temperature"], lambda c: c.GetNode("sensors.temperature")),
    (["query", "settings"], lambda c: c.QueryNode("settings")),
    (["properties"], lambda c: c.GetProperties()),
    (["exec", "diagnostics.echo", '{"b": [1, 2.5, "é"], "a": null}'],
     lambda c: c.ExecuteCommand("diagnostics.echo", {"b": [1, 2.5, "é"], "a": None})),
    (["exec", "diagnostics.echo"], lambda c: c.ExecuteCommand("diagnostics.echo", None)),
    (["exec", "settings.reset", "{}"], lambda c: c.ExecuteCommand("settings.reset", {})),
] + [(["schema", path, kind.lower()], lambda c, p=path, k=kind: c.GetSchema(p, Corvane.SchemaType.__members__[k]))
     for path, kind in [("settings.threshold", "DATA"), ("sensors", "EVENT"), ("diagnostics.sleep", "COMMAND"),
                        ("diagnostics.sleep", "RESULT"), ("", "INIT")]])
def test_each_reading_subcommand_prints_what_the_module_returns(framework_machine, args, call):
    printed = succeeded(*args)
    assert printed.endswith("\n") and printed.count("\n") == 1  # piped: compact, one line
    assert json.loads(printed) == call(Corvane.CorvaneJson())


def test_exec_reads_its_parameters_from_standard_input(framework_machine):
    parameters = {"nested": {"list": [1, 2, {"deep": True}]}, "text": "line\nbreak"}
    assert json.loads(succeeded("exec", "diagnostics.echo", "-", stdin=json.dumps(parameters, indent=4))) == parameters


@pytest.mark.parametrize("args, overload, received", [
    (["set", "p", "true"], "bool", True),
    (["set", "p", "-7"], "int64", -7),
    (["set", "p", str(2**63 - 1)], "int64", 2**63 - 1),
    (["set", "p", "2.5"], "double", 2.5),
    (["set", "p", '"quoted"'], "string", "quoted"),
    (["set", "p", "--string", "plain text"], "string", "plain text"),
    (["set", "p", "-s", "true"], "string", "true"),
    (["set", "p", "-s", '"kept"'], "string", '"kept"'),
])
def test_set_reaches_the_operation_of_the_value_type(double_machine, args, overload, received):
    assert succeeded(*args) == ""
    assert double_machine.calls("SetValue") == [{"op": "SetValue", "overload": overload, "args": ["p", received]}]


# ---------------------------------------------------------------------------------
# Exit statuses and messages


@pytest.mark.parametrize("args, message", [
    (["get", "no.such.path"], "ProviderNotFoundException: "),
    (["set", "sensors.temperature", "1.5"], "AccessDeniedException: "),
    (["set", "settings.threshold", '"warm"'], "InvalidArgumentException: "),
    (["exec", "diagnostics.sleep", '{"ms": 600001}'], "LimitExceededException: "),
    (["exec", "diagnostics.fail", '{"exception": "FrameworkException", "message": "broken"}'],
     "FrameworkException: broken\n"),
    (["exec", "diagnostics.raw", '{"text": "not json"}'], "RuntimeError: "),
    (["--config", '{"simulate_sensors": 3}', "get"], "InvalidArgumentException: "),
])
def test_a_framework_or_module_error_exits_1_with_its_class_and_text(framework_machine, args, message):
    result = corvane(*args)
    assert result.returncode == 1, result
    assert result.stdout == ""
    assert result.stderr.startswith(message) and result.stderr.count("\n") == 1, result.stderr


def test_without_a_framework_the_module_error_exits_1(empty_machine):
    result = corvane("get", "settings")
    assert (result.returncode, result.stdout, result.stderr) == (
        1, "", "VexaException: Error Locating Framework Directory\n")


@pytest.mark.parametrize("args", [
    [], ["--wrong-option"], ["get", "--wrong-option"], ["frobnicate"],
    ["schema", "settings"], ["schema", "settings", "nonsense"],
    ["set", "p"], ["set", "p", "not json"], ["set", "p", "null"], ["set", "p", "[1]"], ["set", "p", "{}"],
    ["set", "p", str(2**63)],
    ["exec", "diagnostics.echo", "{bad"], ["--config", "{bad", "get"],
    ["watch"], ["watch", "p", "--count", "0"], ["watch", "p", "--timeout", "-1"], ["watch", "p", "--count", "x"],
])
def test_incorrect_usage_exits_2_before_anything_runs(double_machine, args):
    result = corvane(*args)
    assert result.returncode == 2, result
    assert result.stdout == ""
    assert "usage: corvane" in result.stderr and "Traceback" not in result.stderr
    assert double_machine.journal() == []  # the framework was never bound


@pytest.mark.parametrize("subcommand", [[], ["get"], ["node"], ["query"], ["schema"], ["properties"], ["set"],
                                        ["exec"], ["watch"]])
def test_help_of_the_command_and_each_subcommand_shows_an_example(subcommand):
    printed = succeeded(*subcommand, "--help")
    assert printed.startswith("usage: corvane")
    assert "example" in printed and ("corvane " + (subcommand[0] if subcommand else "")) in printed.split("example")[1]


# ---------------------------------------------------------------------------------
# Output on a terminal and through a pipe


def on_terminal(*args):
    """Runs the command with standard output on a pseudo-terminal; returns its output."""
    controller, terminal = pty.openpty()
    try:
        process = subprocess.Popen([*COMMAND, *args], stdout=terminal, stderr=subprocess.PIPE)
        os.close(terminal)
        chunks = []
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal's other end closed
                break
            if not chunk:
                break
            chunks.append(chunk)
        assert process.wait(timeout=120) == 0, process.stderr.read()
    finally:
        os.close(controller)
    return b"".join(chunks).decode().replace("\r\n", "\n")


@pytest.mark.parametrize("compact", [False, True])
def test_a_terminal_gets_indented_json_unless_compact(framework_machine, compact):
    printed = on_terminal("get", "settings", *(["-c"] if compact else []))
    expected = Corvane.CorvaneJson().GetValue("settings")
    assert json.loads(printed) == expected
    if compact:
        assert printed == json.dumps(expected, separators=(",", ":"), ensure_ascii=False) + "\n"
    else:
        assert printed == json.dumps(expected, indent=2, ensure_ascii=False) + "\n"


# ---------------------------------------------------------------------------------
# watch


def test_watch_count_prints_that_many_notifications_one_per_line(framework_machine):
    before = datetime.datetime.now(datetime.timezone.utc)
    printed = succeeded(*FAST_SENSORS, "watch", "sensors.temperature", "sensors.ticks", "--count", "7")
    lines = [json.loads(line) for line in printed.splitlines()]
    assert len(lines) == 7
    ticks = []
    for line in lines:
        assert set(line) == {"path", "source", "payload", "received"}
        assert line["source"] == "sensors"
        key = line["path"].split(".", 1)[1]
        assert list(line["payload"]) == [key]
        received = datetime.datetime.fromisoformat(line["received"])
        assert received.tzinfo is not None and received >= before
        if key == "ticks":
            ticks.append(line["payload"]["ticks"])
    assert ticks == sorted(ticks) and len(set(ticks)) == len(ticks)
    assert [datetime.datetime.fromisoformat(line["received"]) for line in lines] == \
        sorted(datetime.datetime.fromisoformat(line["received"]) for line in lines)


def test_watch_timeout_ends_with_success_when_nothing_came(framework_machine):
    # settings.label changes only when set: nothing arrives.
    assert succeeded("watch", "settings.label", "--timeout", "0.2") == ""


def test_sigint_during_watch_exits_130_without_a_traceback(framework_machine):
    process = subprocess.Popen([*COMMAND, *FAST_SENSORS, "watch", "sensors.ticks"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        first = process.stdout.readline()  # watching: notifications flow
        assert json.loads(first)["path"] == "sensors.ticks"
        process.send_signal(signal.SIGINT)
        rest, errors = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 130
    assert errors == ""
    assert all(json.loads(line)["path"] == "sensors.ticks" for line in rest.splitlines())  # whole lines only


def test_watch_into_a_reader_that_stops_ends_quietly(framework_machine):
    """corvane watch ... | head -n 1: the pipe closes under the command."""
    read, write = os.pipe()
    process = subprocess.Popen([*COMMAND, *FAST_SENSORS, "watch", "sensors.ticks"], stdout=write,
                               stderr=subprocess.PIPE, text=True)
    os.close(write)
    with os.fdopen(read) as reader:
        assert json.loads(reader.readline())["path"] == "sensors.ticks"
    _, errors = process.communicate(timeout=60)
    assert (process.returncode, errors) == (0, "")


def test_sigint_during_a_long_command_exits_130_at_once(framework_machine):
    """The framework's call cannot be interrupted; the program ends without waiting for
    it (the command would sleep for ten minutes)."""
    process = subprocess.Popen([*COMMAND, "exec", "diagnostics.sleep", '{"ms": 600000}'], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        # Running: the framework's two threads and the command's worker beside the main one.
        while len(os.listdir(f"/proc/{process.pid}/task")) < 4:
            assert process.poll() is None, process.communicate()
        process.send_signal(signal.SIGINT)
        out, errors = process.communicate(timeout=60)
    finally:
        process.kill()
    assert (process.returncode, out, errors) == (130, "", "")
