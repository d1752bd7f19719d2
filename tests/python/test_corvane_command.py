"""The corvane command, run as a program (python -m corvane_tools) against the sample
framework and the scripted double, each in a private machine state."""

import datetime
import fcntl
import json
import os
import pty
import re
import resource
import signal
import stat
import struct
import subprocess
import sys
import termios
import threading
import time

import pytest

import Corvane
from corvane_tools import AsyncClient, cli

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


@pytest.mark.parametrize("path, value, shown", [
    ("settings.label", ["--string", "set from a shell"], '"set from a shell"'),
    ("settings.threshold", ["19.5"], "19.5"),
    ("settings.interval_ms", ["25"], "25"),
    ("settings.alarm_enabled", ["false"], "false"),
])
def test_a_setting_one_process_writes_is_what_the_next_one_reads(framework_machine, path, value, shown):
    default = succeeded("get", path)
    succeeded("set", path, *value)
    assert succeeded("get", path) == shown + "\n"
    succeeded("exec", "settings.reset")
    assert succeeded("get", path) == default


# The settings file is kept as the catalog is: a first one is 0644 whatever the writer's
# umask, a rewrite keeps the mode it found, and its lock is the writers' alone.
@pytest.mark.skipif(sys.platform == "win32", reason="POSIX modes and umask")
@pytest.mark.parametrize("found", [None, 0o640], ids=["new", "0640"])
def test_the_settings_file_keeps_its_mode_whatever_the_writers_umask(framework_machine, found):
    settings = framework_machine.install_dir / "client-settings.json"
    if found is not None:
        succeeded("set", "settings.label", "-s", "first")
        os.chmod(settings, found)
    for label in ("second", "third"):
        written = subprocess.run([*COMMAND, "set", "settings.label", "-s", label], capture_output=True,
                                 text=True, timeout=120, preexec_fn=lambda: os.umask(0o077))
        assert (written.returncode, written.stderr) == (0, "")
        assert oct(stat.S_IMODE(settings.stat().st_mode)) == oct(found or 0o644)
    lock = framework_machine.install_dir / "client-settings.lock"
    assert oct(stat.S_IMODE(lock.stat().st_mode)) == oct(0o600)
    assert json.loads(settings.read_text()) == {"format": 1, "settings": {"label": "third"}}


# What another local user may plant at the settings file's names is refused at once,
# never followed, written or waited on; reading settings needs no lock.
@pytest.mark.skipif(sys.platform == "win32", reason="POSIX links and FIFOs")
@pytest.mark.parametrize("name, what, set_status, get_status", [
    ("client-settings.json.tmp-0123456789abcdef", "link", 0, 0),
    ("client-settings.lock", "link", 1, 0),
    ("client-settings.lock", "fifo", 1, 0),
    ("client-settings.json", "fifo", 1, 1),
])
def test_files_planted_at_the_settings_names_are_never_followed_or_waited_on(
        framework_machine, tmp_path, name, what, set_status, get_status):
    victim = tmp_path / "victim"
    victim.write_text("owned by someone else\n")
    place = framework_machine.install_dir / name
    if what == "link":
        place.symlink_to(victim)
    else:
        os.mkfifo(place)
    assert corvane("set", "settings.label", "-s", "planted").returncode == set_status
    got = corvane("get", "settings.label")
    assert got.returncode == get_status, got
    if get_status == 0:
        assert got.stdout == ('"planted"\n' if set_status == 0 else '"Vexa sample"\n')
    else:
        assert "is damaged (not a regular file)" in got.stderr
    assert victim.read_text() == "owned by someone else\n"


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


# ---------------------------------------------------------------------------------
# Hostile input and output


def memory_bounded(process):
    """Caps the child's address space, so that a reader of an endless input fails rather
    than fill the machine; not under the sanitizers, whose shadow memory needs more."""
    if "LD_PRELOAD" not in os.environ:
        resource.prlimit(process.pid, resource.RLIMIT_AS, (2 << 30, 2 << 30))


@pytest.mark.parametrize("args, stdin, message", [
    (["exec", "diagnostics.echo", "[" * 50_000 + "]" * 50_000], None, "PARAMETERS nests too deeply"),
    (["exec", "diagnostics.echo", "-"], b"[" * 100_000 + b"]" * 100_000, "PARAMETERS nests too deeply"),
    (["--config", '{"a":' * 20_000 + "1" + "}" * 20_000, "get"], None, "--config nests too deeply"),
    (["exec", "diagnostics.echo", '{"a": NaN}'], None, "NaN is not a JSON value"),
    (["exec", "diagnostics.echo", "[-Infinity]"], None, "-Infinity is not a JSON value"),
    (["exec", "diagnostics.echo", "-"], b'{"a": [1e400]}', "1e400 is beyond the range of a double"),
    (["set", "p", "Infinity"], None, "Infinity is not a JSON value"),
    (["exec", "diagnostics.echo", "-"], b'{"text": "caf\xe9"}', "PARAMETERS on standard input are not UTF-8"),
    (["exec", "diagnostics.echo", "-"], b'"' + b"x" * (16 << 20) + b'"', "exceed 16 MiB"),
    (["exec", "diagnostics.echo", "-"], "/dev/zero", "exceed 16 MiB"),
], ids=["deep", "deep-stdin", "deep-config", "nan", "minus-infinity", "1e400", "infinity-value", "not-utf8",
        "beyond-limit", "dev-zero"])
def test_parameters_that_are_not_json_are_usage_errors(double_machine, args, stdin, message):
    source = open(stdin, "rb") if isinstance(stdin, str) else subprocess.PIPE
    try:
        process = subprocess.Popen([*COMMAND, *args], stdin=source, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        memory_bounded(process)
        out, errors = process.communicate(None if isinstance(stdin, str) else stdin, timeout=120)
    finally:
        if source is not subprocess.PIPE:
            source.close()
    errors = errors.decode()
    assert (process.returncode, out) == (2, b""), errors[-2000:]
    assert "usage: corvane" in errors and message in errors and "Traceback" not in errors, errors[-2000:]
    assert double_machine.journal() == []


@pytest.mark.parametrize("args, status", [
    (["get", "no.such.path"], 1),
    (["exec", "diagnostics.fail", '{"exception": "FrameworkException", "message": "broken"}'], 1),
    (["get", "--wrong-option"], 2),
    (["set", "p", "not json"], 2),
])
def test_a_failure_keeps_its_exit_status_when_standard_error_is_closed(framework_machine, args, status):
    read, write = os.pipe()
    os.close(read)
    try:
        result = subprocess.run([*COMMAND, *args], stdout=subprocess.PIPE, stderr=write, timeout=120)
    finally:
        os.close(write)
    assert (result.returncode, result.stdout) == (status, b"")


def pending_bytes(fd):
    """The bytes waiting in a pipe."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


def wait_until(condition, process):
    deadline = time.monotonic() + 120
    while not condition():
        assert process.poll() is None and time.monotonic() < deadline, process.communicate(timeout=60)
        time.sleep(0.05)


@pytest.mark.parametrize("ending, status", [("timeout", 0), ("sigint", 130)])
def test_a_watch_whose_output_is_blocked_ends_and_reports_what_it_dropped(framework_machine, ending, status):
    """Nobody reads the output: the pipe fills, the writes block, and the queue of one
    overflows; the watch still ends on time or on Ctrl-C and says how much it lost."""
    read, write = os.pipe()
    capacity = fcntl.fcntl(write, fcntl.F_SETPIPE_SZ, 4096)
    timeout = ["--timeout", "5"] if ending == "timeout" else []
    process = subprocess.Popen([*COMMAND, *FAST_SENSORS, "watch", "sensors.ticks", "--queue", "1", *timeout],
                               stdout=write, stderr=subprocess.PIPE, text=True)
    os.close(write)
    try:
        # Full: what is left is less than one line.
        wait_until(lambda: pending_bytes(read) > capacity - 200, process)
        if ending == "sigint":
            time.sleep(2)  # the ticks meanwhile overflow the queue
            process.send_signal(signal.SIGINT)
        _, errors = process.communicate(timeout=60)
    finally:
        process.kill()
        os.close(read)
    assert process.returncode == status, errors
    assert re.fullmatch(r"corvane watch: \d+ notifications dropped while the output lagged\n", errors), errors


def test_sigint_while_exec_reads_standard_input_exits_130_without_a_traceback(double_machine):
    process = subprocess.Popen([*COMMAND, "exec", "diagnostics.echo", "-"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        process.stdin.write('{"partial": ')
        process.stdin.flush()
        wait_until(lambda: pending_bytes(process.stdin.fileno()) == 0, process)  # taken: it reads on
        process.send_signal(signal.SIGINT)
        out, errors = process.communicate(timeout=60)
    finally:
        process.kill()
    assert (process.returncode, out, errors) == (130, "", "")
    assert double_machine.journal() == []


@pytest.mark.parametrize("depth", [1, 100_000])
def test_watch_count_ends_with_the_last_line_it_counts(framework_machine, monkeypatch, capsys, depth):
    """Exactly N notifications come and no more: the watch ends after the Nth instead of
    waiting for one that would not be printed. A payload nested too deeply for Python's
    parser is printed as the framework's text."""
    api = Corvane.CorvaneJson({"simulate_sensors": False})
    monkeypatch.setattr(cli, "AsyncClient", lambda *config, executor: AsyncClient(client=api, executor=executor))
    count, finished, extra = 3, threading.Event(), []
    payload = '{"x":' + "[" * depth + "]" * depth + "}"

    def emit(text):
        return api.ExecuteCommand("diagnostics.emit", {"source": "demo", "payload": text, "count": 1})["deliveries"]

    def feed():
        # Reaches no line; delivered once the watch has registered.
        while not emit('{"y": 0}') and not finished.is_set():
            time.sleep(0.01)
        for _ in range(count):
            emit(payload)
        while not finished.wait(60):  # the watch still waits: give it what it waits for
            extra.append(emit(payload))

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        status = cli.main(["watch", "demo.x", "--count", str(count), "--timeout", "600"])
    finally:
        finished.set()
        feeder.join()
    assert (status, extra) == (0, [])
    lines = capsys.readouterr().out.splitlines()
    assert [re.sub(r',"received":"[^"]+"}$', "}", line) for line in lines] == \
        ['{"path":"demo.x","source":"demo","payload":' + payload + "}"] * count
