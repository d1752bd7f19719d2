"""The corvane command: the framework's values, nodes, schemas, commands and events
from a shell, as JSON."""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import contextlib
import datetime
import io
import json
import math
import os
import sys
import threading
from collections.abc import Sequence
from typing import Any, NoReturn, TextIO

import Corvane

from corvane_tools.aio import AsyncClient, Json, Notification, Scalar, Subscription, UnparsedPayload

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

COMMAND_THREAD = "corvane-command"
OUTPUT_THREAD = "corvane-output"
INT64 = range(-(2**63), 2**63)
# The most that exec reads from standard input for its parameters: a reader fed by
# an endless source (/dev/zero) must end, not fill the memory.
STDIN_LIMIT = 16 * 1024 * 1024

DESCRIPTION = """\
Reads, sets, runs and watches the data nodes of the Vexa framework published on this
machine. Results go to standard output as JSON: indented on a terminal, compact when
piped or with -c. Errors go to standard error as "ClassName: text".

exit status: 0 success, 1 a framework or module error, 2 incorrect usage,
130 interrupted (Ctrl-C)"""

EXAMPLES = {
    None: "examples:\n  corvane get settings\n  corvane watch sensors.temperature --count 3 | jq .payload",
    "get": "example:\n  corvane get settings.threshold",
    "node": "example:\n  corvane node sensors.temperature",
    "query": "example:\n  corvane query settings",
    "schema": "example:\n  corvane schema diagnostics.sleep command",
    "properties": "example:\n  corvane properties",
    "set": "examples:\n  corvane set settings.threshold 19.5\n  corvane set settings.label --string 'lab 3'",
    "exec": "examples:\n  corvane exec diagnostics.echo '{\"hello\": \"world\"}'\n"
            "  echo '{\"ms\": 50}' | corvane exec diagnostics.sleep -",
    "watch": "example:\n  corvane watch sensors.temperature sensors.humidity --count 3\n"
             "output: one line per notification, {\"path\", \"source\", \"payload\", \"received\"}",
}


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # As argparse's own, but a closed standard error does not turn the usage
        # error into a traceback and another exit status.
        _complain(f"{self.format_usage()}{self.prog}: error: {message}")
        sys.exit(EXIT_USAGE)


def _parser() -> argparse.ArgumentParser:
    # The output and configuration options are accepted before and after the subcommand.
    common = _ArgumentParser(add_help=False)
    common.add_argument("-c", "--compact", action="store_true", default=argparse.SUPPRESS,
                        help="compact JSON, also on a terminal")
    common.add_argument("--config", metavar="JSON", default=argparse.SUPPRESS,
                        help="the client's configuration, as JSON (default: none)")

    def new(parser_factory: Any, name: str | None, help_text: str, description: str) -> argparse.ArgumentParser:
        parser: argparse.ArgumentParser = parser_factory(
            **({"name": name, "help": help_text} if name else {"prog": "corvane"}),
            description=description, epilog=EXAMPLES[name], parents=[common],
            formatter_class=argparse.RawDescriptionHelpFormatter)
        return parser

    parser = new(_ArgumentParser, None, "", DESCRIPTION)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        return new(commands.add_parser, name, help_text, help_text[0].upper() + help_text[1:] + ".")

    command("get", "print the value of a node (a folder: its children's values)").add_argument(
        "path", metavar="PATH", nargs="?", default="", help="the node's path (default: the root)")
    command("node", "print the description of a node").add_argument(
        "path", metavar="PATH", nargs="?", default="", help="the node's path (default: the root)")
    command("query", "print the descriptions of a node's children").add_argument(
        "path", metavar="PATH", nargs="?", default="", help="the node's path (default: the root)")
    schema = command("schema", "print a schema of a node")
    schema.add_argument("path", metavar="PATH", help="the node's path")
    kinds = [name.lower() for name in Corvane.SchemaType.__members__]
    schema.add_argument("type", metavar="TYPE", type=str.lower, choices=kinds,
                        help="the schema type, in either case: " + ", ".join(kinds))
    command("properties", "print the framework client's properties").add_argument(
        "properties_config", metavar="CONFIG", nargs="?", default="",
        help="the properties configuration text (default: empty)")
    set_value = command("set", "set a value")
    set_value.add_argument("path", metavar="PATH", help="the value's path")
    set_value.add_argument("value", metavar="VALUE",
                           help="a JSON boolean, number or string (a string in JSON quotes)")
    set_value.add_argument("-s", "--string", action="store_true", help="take VALUE as a plain string")
    execute = command("exec", "run a command and print its result")
    execute.add_argument("path", metavar="PATH", help="the command's path")
    execute.add_argument("parameters", metavar="PARAMETERS", nargs="?",
                         help="the parameters as JSON, or - to read them from standard input (default: null)")
    watch = command("watch", "print notifications as they arrive, until Ctrl-C")
    watch.add_argument("paths", metavar="PATH", nargs="+", help="a path to watch")
    watch.add_argument("-n", "--count", type=_positive(int), metavar="N", help="end after N notifications")
    watch.add_argument("-t", "--timeout", type=_positive(float), metavar="S", help="end after S seconds")
    watch.add_argument("--queue", type=_positive(int), metavar="N", default=10_000,
                       help="notifications held while output lags (default: %(default)s); "
                            "beyond that the oldest are dropped and counted on standard error")
    return parser


def _positive(kind: type[int] | type[float]) -> Any:
    def convert(text: str) -> int | float:
        value = kind(text)
        if not value > 0:
            raise ValueError(text)
        return value

    convert.__name__ = f"positive {kind.__name__}"
    return convert


def _json_argument(parser: argparse.ArgumentParser, what: str, text: str) -> Json:
    # Python's parser also takes NaN and Infinity, and 1e400 as infinity; none is JSON,
    # and the module would hand each to the framework as null.
    def refuse_constant(name: str) -> NoReturn:
        raise ValueError(f"{name} is not a JSON value")

    def finite(number: str) -> float:
        value = float(number)
        if not math.isfinite(value):
            raise ValueError(f"{number} is beyond the range of a double")
        return value

    try:
        return json.loads(text, parse_constant=refuse_constant, parse_float=finite)
    except RecursionError:
        parser.error(f"{what} nests too deeply (more than about {sys.getrecursionlimit()} levels)")
    except ValueError as error:
        parser.error(f"{what} is not valid JSON: {error}")


def _standard_input(parser: argparse.ArgumentParser) -> str:
    stream = getattr(sys.stdin, "buffer", None)
    if stream is None:
        parser.error("PARAMETERS is -, but there is no standard input")
    data: bytes = stream.read(STDIN_LIMIT + 1)
    if len(data) > STDIN_LIMIT:
        parser.error(f"PARAMETERS on standard input exceed {STDIN_LIMIT // (1024 * 1024)} MiB")
    try:
        # JSON exchanged between programs is UTF-8, whatever the locale says.
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        parser.error(f"PARAMETERS on standard input are not UTF-8: {error}")


def _setting(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Scalar:
    if args.string:
        return str(args.value)
    value = _json_argument(parser, "VALUE", args.value)
    # Corvane would take None and integers beyond 64 bits as a boolean: refuse them here.
    if isinstance(value, int) and not isinstance(value, bool) and value not in INT64:
        parser.error("VALUE is an integer beyond the signed 64-bit range")
    if not isinstance(value, (bool, int, float, str)):
        parser.error("VALUE must be a JSON boolean, number or string (use --string for plain text)")
    return value


class _Output:
    def __init__(self, stream: TextIO, compact: bool) -> None:
        self.stream = stream
        terminal = stream.isatty()
        self.indent = None if compact or not terminal else 2
        if not terminal and isinstance(stream, io.TextIOWrapper):
            # JSON exchanged between programs is UTF-8; on Windows a pipe would otherwise
            # get the ANSI code page, which lacks most characters.
            stream.reconfigure(encoding="utf-8")
        # watch writes on a thread of its own: a reader that stops reading then holds up
        # that thread only, and the loop still ends the watch on time.
        self._writer: concurrent.futures.ThreadPoolExecutor | None = None
        self._last_write: concurrent.futures.Future[None] | None = None

    @property
    def busy(self) -> bool:
        """Whether a write of watch is still under way: stuck, if the watch has ended."""
        return self._last_write is not None and not self._last_write.done()

    def document(self, value: Json) -> None:
        self._write(_dumps(value, self.indent) + "\n")

    async def notification(self, path: str, notification: Notification) -> None:
        received = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="microseconds")
        line = {"path": path, "source": notification.source, "payload": None, "received": received}
        payload = notification.payload
        if isinstance(payload, UnparsedPayload):
            # Too deep for Python's parser, but JSON all the same: its text goes in as it
            # came. A line break outside a string is only white space, and JSON has none
            # inside one, so the line stays one line.
            text = _dumps(line, None).replace('"payload":null', '"payload":' + _one_line(payload.text), 1)
        else:
            line["payload"] = payload
            text = _dumps(line, None)
        if self._writer is None:
            self._writer = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix=OUTPUT_THREAD)
        # One writer thread writes the lines in the order they were handed over.
        self._last_write = self._writer.submit(self._write, text + "\n")
        await asyncio.wrap_future(self._last_write)

    def _write(self, text: str) -> None:
        self.stream.write(text)
        self.stream.flush()

    def close(self) -> None:
        if self._writer is not None:
            self._writer.shutdown(wait=False, cancel_futures=True)
        if self._last_write is not None:
            # A line under way to a reader that is merely slow is let through whole;
            # one that nobody takes stays behind (busy).
            concurrent.futures.wait([self._last_write], timeout=1)


def _one_line(text: str) -> str:
    return text.replace("\r", " ").replace("\n", " ")


def _dumps(value: Json, indent: int | None) -> str:
    separators = (",", ": ") if indent else (",", ":")
    return json.dumps(value, ensure_ascii=False, indent=indent, separators=separators)


async def _watch(client: AsyncClient, args: argparse.Namespace, output: _Output) -> int:
    done = asyncio.Event()
    printed = 0

    async def forward(path: str, subscription: Subscription) -> None:
        nonlocal printed
        async for notification in subscription:
            # Counted before the line is written: several paths' tasks may hold
            # notifications when the count is reached.
            if args.count is not None and printed >= args.count:
                # Another task writes the last line, and ends the watch once it is out.
                await done.wait()
                return
            printed += 1
            number = printed
            await output.notification(path, notification)
            if number == args.count:
                # The last line, written after every earlier one (one writer, in order):
                # the watch ends now rather than with the next notification.
                break
        done.set()

    subscriptions: list[Subscription] = []
    try:
        async with contextlib.AsyncExitStack() as stack:
            for path in args.paths:
                subscriptions.append(await stack.enter_async_context(client.subscribe(path, maxsize=args.queue)))
            tasks = [asyncio.create_task(forward(path, s)) for path, s in zip(args.paths, subscriptions)]
            ended = asyncio.create_task(done.wait())
            try:
                await asyncio.wait([ended, *tasks], timeout=args.timeout, return_when=asyncio.FIRST_COMPLETED)
            finally:
                for task in (ended, *tasks):
                    task.cancel()
                outcomes = await asyncio.gather(ended, *tasks, return_exceptions=True)
            for outcome in outcomes:
                if isinstance(outcome, Exception) and not isinstance(outcome, asyncio.CancelledError):
                    raise outcome  # the output failed (a closed pipe)
    finally:
        # However the watch ends (count, timeout, a closed pipe, Ctrl-C), what it lost is told.
        dropped = sum(subscription.overflowed for subscription in subscriptions)
        if dropped:
            _complain(f"corvane watch: {dropped} notifications dropped while the output lagged")
    return EXIT_OK


async def _run(args: argparse.Namespace, parameters: Json, setting: Scalar | None, config: list[Json],
               executor: concurrent.futures.Executor, output: _Output) -> int:
    try:
        # --config null hands the text null to the framework, unlike no --config ("{}").
        client = AsyncClient(*config, executor=executor)
        async with client:
            if args.command == "watch":
                return await _watch(client, args, output)
            result: Json
            if args.command == "get":
                result = await client.GetValue(args.path)
            elif args.command == "node":
                result = await client.GetNode(args.path)
            elif args.command == "query":
                result = await client.QueryNode(args.path)
            elif args.command == "schema":
                result = await client.GetSchema(args.path, Corvane.SchemaType.__members__[args.type.upper()])
            elif args.command == "properties":
                result = await client.GetProperties(args.properties_config)
            elif args.command == "set":
                assert setting is not None
                await client.SetValue(args.path, setting)
                return EXIT_OK
            else:
                result = await client.ExecuteCommand(args.path, parameters)
            output.document(result)
            return EXIT_OK
    except (asyncio.CancelledError, KeyboardInterrupt, BrokenPipeError):
        raise
    except Exception as error:  # noqa: BLE001 - every failure of the module ends the command the same way
        _complain(f"{type(error).__name__}: {error}")
        return EXIT_FAILED


def _complain(text: str) -> None:
    """Writes a line to standard error; a closed standard error leaves the exit status
    as it is (a failure that cannot be told is a failure all the same)."""
    try:
        print(text, file=sys.stderr, flush=True)
    except OSError:
        # Pointed at nothing, so that the final flush cannot fail either.
        _discard(sys.stderr)


def _discard(stream: TextIO | None) -> None:
    if stream is None:
        return
    with contextlib.suppress(OSError, ValueError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the corvane command; returns its exit status."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
        config = [_json_argument(parser, "--config", args.config)] if hasattr(args, "config") else []
        parameters: Json = None
        if args.command == "exec" and args.parameters is not None:
            text = _standard_input(parser) if args.parameters == "-" else args.parameters
            parameters = _json_argument(parser, "PARAMETERS", text)
        setting = _setting(parser, args) if args.command == "set" else None
    except KeyboardInterrupt:  # while exec reads standard input
        return EXIT_INTERRUPTED

    output = _Output(sys.stdout, getattr(args, "compact", False))
    # The command's own worker thread: asyncio.run would wait for a command running in
    # the loop's default executor before it let Ctrl-C end the program.
    executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix=COMMAND_THREAD)
    command_running = False
    try:
        status = asyncio.run(_run(args, parameters, setting, config, executor, output))
    except KeyboardInterrupt:
        status = EXIT_INTERRUPTED
        command_running = any(thread.name.startswith(COMMAND_THREAD) and thread.is_alive()
                              for thread in threading.enumerate())
    except BrokenPipeError:
        # The reader went away (corvane watch ... | head -n 1): nothing left to do.
        # Standard output is pointed at nothing, so that the final flush cannot fail.
        _discard(sys.stdout)
        status = EXIT_OK
    finally:
        executor.shutdown(wait=False)
        output.close()
    if command_running or output.busy:
        # A command still inside the framework, which cannot be interrupted, or a line
        # that a reader who stopped reading never takes: the interpreter would wait for
        # its thread at exit, so leave at once instead, as Ctrl-C's default would.
        # Standard output is not flushed when its writer is stuck: it holds its lock.
        with contextlib.suppress(OSError, ValueError):
            if not output.busy:
                sys.stdout.flush()
            sys.stderr.flush()
        os._exit(status)
    return status
