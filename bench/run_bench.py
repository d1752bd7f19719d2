#!/usr/bin/python3
"""Benchmarks of the Vexa client tooling. Prints one Markdown table, then a line of
machine facts.

Usage: run_bench.py --config BUILD/bench/bench_config.json [--quick] [--only 1,3]
                    [--results FILE]
PYTHONPATH must name BUILD/python (Corvane) and BUILD/bench/python (vexa_bench).
--results FILE writes the same table, under a header that says when and on what machine
it was measured, to FILE as well (docs/bench-results.md is the committed one).

Each ratio compares two ways of doing the same work, on the same data, in one run.
The repetitions of the two sides alternate (and alternate which side goes first), so
that a change of machine load reaches both; a row shows the median and the range of
the per-repetition times and of the per-repetition ratios. The garbage collector is
off while anything is timed, and small items are called many times per repetition.

The framework is a private machine state in a temporary directory: the bench client
(tests/doubles/bench_client.cpp) staged as Tessaly.dll, with the prepared texts beside it; the
sample framework's own libraries where a row needs them.
"""

import argparse
import asyncio
import datetime
import functools
import gc
import json
import marshal
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

import Corvane
import vexa_bench
from corvane_tools import AsyncClient

try:
    import ujson
except ImportError:  # reported in its rows; scripts/setup.sh installs it
    ujson = None

FRAMEWORK_CLASS = "{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}"
FRAMEWORK_INSTANCE = "SWD\\VexaFramework\\0000"
VEXAREG_BANNER = b"vexareg - Vexa provider registration tool\n"

# The form of the framework's results: members sorted by name, compact, UTF-8.
DUMP = dict(sort_keys=True, separators=(",", ":"), ensure_ascii=False)
# (label, title, kind, size): the mixed documents, and documents modelled on three kinds
# of real results, each at two sizes.
DOCUMENTS = (("1k", "1 KB doc", "mixed", 1_000), ("100k", "100 KB doc", "mixed", 100_000),
             ("2m", "2 MB doc", "mixed", 2_000_000),
             ("num-100k", "100 KB coordinates", "numbers", 100_000),
             ("num-2m", "2 MB coordinates", "numbers", 2_000_000),
             ("key-100k", "100 KB event catalog", "keys", 100_000),
             ("key-2m", "2 MB event catalog", "keys", 2_000_000),
             ("feed-100k", "100 KB social feed", "feed", 100_000),
             ("feed-2m", "2 MB social feed", "feed", 2_000_000))
EVENT_SOURCE = "bench.ev"


class BenchError(Exception):
    """A row that could not be measured honestly (a wrong result, a failed check)."""


# ---------------------------------------------------------------------------------
# Timing


class Budget:
    def __init__(self, quick):
        self.repetitions = 3 if quick else 15
        self.repetition_ns = 5e6 if quick else 40e6  # aimed-at time of one side's repetition


def calls_of(function, arg=None, fresh=None):
    """A side that calls function(x) `calls` times per repetition, x being arg or, when
    fresh is given, a new fresh() for every call, all made before the clock starts."""

    def repetition(calls):
        items = [fresh() for _ in range(calls)] if fresh else [arg] * calls
        start = time.perf_counter_ns()
        for item in items:
            function(item)
        return time.perf_counter_ns() - start

    return repetition


def timed_per_call(side, budget):
    """A side's timed nanoseconds per call, from as many calls as half a repetition
    takes, so that fixed costs of a repetition (starting threads) weigh little. Also
    the side's warm-up."""
    calls = 1
    while True:
        elapsed = side(calls)
        if elapsed >= budget.repetition_ns / 2 or calls >= 1 << 22:
            return elapsed / calls
        calls *= 2


def compare(measured, baseline, budget, items=1):
    """Times two sides (baseline may be None) in alternating repetitions of the same
    number of calls. A side is a function(calls) -> the nanoseconds it timed; each call
    is `items` items. Returns both sides' nanoseconds per item, one per repetition."""
    sides = [side for side in (measured, baseline) if side is not None]
    gc.collect()
    gc.disable()
    try:
        calls = max(1, round(budget.repetition_ns / max(timed_per_call(side, budget) for side in sides)))
        times = [[] for _ in sides]
        for r in range(budget.repetitions):
            order = list(zip(sides, times))
            for side, out in order if r % 2 == 0 else reversed(order):
                out.append(side(calls) / (calls * items))
    finally:
        gc.enable()
    return times[0], (times[1] if baseline is not None else None)


# ---------------------------------------------------------------------------------
# The table


class Spread:
    """Per-repetition figures: their median and their range."""

    def __init__(self, values):
        self.values = list(values)
        self.median = statistics.median(self.values)

    def text(self, unit=True):
        scale, name = 1, ""
        if unit:
            scale, name = next((s, n) for s, n in ((1e9, " s"), (1e6, " ms"), (1e3, " µs"), (1, " ns"))
                               if abs(self.median) >= s or s == 1)
        low, high = (figure(v / scale) for v in (min(self.values), max(self.values)))
        return f"{figure(self.median / scale)}{name} ({low}..{high})"


def figure(value):
    return f"{value:.0f}" if abs(value) >= 100 else f"{value:.1f}" if abs(value) >= 10 else f"{value:.2f}"


def count(n):
    return f"{n:,}".replace(",", " ")


class Row:
    """One line of the table: nanoseconds per item of the measured side and, when there
    is one, of the side it is compared with, with their per-repetition ratios."""

    def __init__(self, key, what, against="—", measured=(), baseline=None, target=None, note="", error=None):
        self.key, self.what, self.against, self.target, self.note, self.error = key, what, against, target, note, error
        self.measured = Spread(measured) if not error else None
        self.baseline = Spread(baseline) if baseline is not None else None
        self.ratios = Spread(a / b for a, b in zip(measured, baseline)) if baseline is not None else None

    def cells(self):
        if self.error:
            return [self.key, self.what, self.against, "—", f"not measured: {self.error}", "", "", "", "", ""]
        target, met = "—", "—"
        if self.target is not None:
            target, met = f"<= {self.target:g}", "yes" if self.ratios.median <= self.target else "no"
        return [self.key, self.what, self.against, str(len(self.measured.values)), self.measured.text(),
                self.baseline.text() if self.baseline else "—", self.ratios.text(unit=False) if self.ratios else "—",
                target, met, self.note]


def table_lines(rows, facts):
    header = ["#", "What", "Against", "Reps", "Time, median (min..max)", "Against, median (min..max)",
              "Ratio, median (min..max)", "Target", "Met", "Notes"]
    yield "| " + " | ".join(header) + " |"
    yield "|" + "|".join("---" for _ in header) + "|"
    for row in rows:
        yield "| " + " | ".join(cell.replace("|", "\\|") for cell in row.cells()) + " |"
    yield ""
    yield facts


def print_table(rows, facts):
    for line in table_lines(rows, facts):
        print(line)


def load_text(load):
    return " / ".join(f"{value:.2f}" for value in load)


def write_results(path, rows, facts, config, started, load_before, load_after):
    """The table as a page of its own, with what a reader needs to weigh its figures:
    when, on how many processors, under what load, from which compiler."""
    busy = max(load_before[0], load_after[0]) > len(os.sched_getaffinity(0))
    lines = [
        "# Benchmark results",
        "",
        f"Generated by `scripts/bench.sh` (`bench/run_bench.py --results`) on "
        f"{started:%Y-%m-%d %H:%M} UTC; do not edit by hand, run it again. "
        f"Machine: {len(os.sched_getaffinity(0))} processors (nproc), load average (1 / 5 / 15 min) "
        f"{load_text(load_before)} at the start and {load_text(load_after)} at the end, "
        f"compiler {config.get('compiler', 'not recorded')}. "
        "Figures measured on a loaded machine vary from run to run"
        + (" and this machine was loaded beyond its processors during the run" if busy else "")
        + ": read the ratios, whose two sides were timed alternately, rather than the times, "
        "and see [performance.md](performance.md) for what each row measures and its target.",
        "",
    ]
    lines.extend(table_lines(rows, facts))
    Path(path).write_text("\n".join(lines) + "\n", encoding="utf-8")


def machine_facts(config, budget, quick):
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    build = config["build_type"] + (" with sanitizers" if config["sanitized"] else "")
    return (f"Python {platform.python_version()}, {cpu}, {os.cpu_count()} CPUs, "
            f"load average {os.getloadavg()[0]:.2f}, {datetime.date.today().isoformat()}, "
            f"build {build}, {budget.repetitions} repetitions per row{' (--quick)' if quick else ''}.")


# ---------------------------------------------------------------------------------
# Machine states and data


class MachineState:
    """One private machine-state directory, filled with the vexa-platform tool."""

    def __init__(self, root, config):
        self.root = Path(root)
        self.config = config
        self.install_dir = self.root / "fw"
        self.install_dir.mkdir(parents=True)
        self.tool("trust", config["dev_root_cert"])

    def tool(self, *args):
        subprocess.run([self.config["platform_tool"], "--root", str(self.root), *args], check=True,
                       stdout=subprocess.DEVNULL)

    def stage(self, library, name):
        shutil.copyfile(library, self.install_dir / name)
        return self.install_dir / name

    def publish(self):
        self.tool("publish", FRAMEWORK_INSTANCE, "--interface", FRAMEWORK_CLASS,
                  "--value", f"InstallDir={self.install_dir}")
        return self

    def environment(self):
        return dict(os.environ, VEXA_PLATFORM_ROOT=str(self.root))


def filled(size, item):
    """A list of item() values whose canonical text takes about size bytes."""
    items, total = [], 0
    while total < size - 40:
        items.append(item())
        total += len(json.dumps(items[-1], **DUMP).encode()) + 1
    return items


def make_document(seed, size):
    """A mixed document of about size bytes as the framework would send it: objects,
    arrays, strings with non-ASCII text, floats, and integers up to unsigned 64 bits."""
    rng = random.Random(seed)
    words = ["alpha", "Grüße", "naïve", "日本語", "Ωμέγα", "Привет", "emoji 😀", "tab\tand \"quotes\"",
             "back\\slash", "line\nbreak", "plain", "value", "sensor", "état", "ß", "中文字符"]
    keys = ["id", "name", "label", "value", "unit", "reading", "scale", "offset", "enabled", "tags",
            "children", "größe", "名前", "limits", "history", "serial"]

    def text():
        return " ".join(rng.choice(words) for _ in range(rng.randint(1, 4)))

    def scalar():
        kind = rng.randrange(9)
        if kind == 0:
            return rng.randint(-1000, 1000)
        if kind == 1:
            return rng.randint(-2**63, 2**63 - 1)
        if kind == 2:
            return rng.randint(2**63, 2**64 - 1)  # only an unsigned 64-bit integer holds it
        if kind == 3:
            return rng.uniform(-1e6, 1e6)
        if kind == 4:
            return rng.random() * 10.0 ** rng.randint(-12, 12)
        if kind == 5:
            return rng.random() < 0.5
        if kind == 6:
            return None
        return text()

    def value(depth):
        draw = rng.random()
        if depth < 2 and draw < 0.1:
            return record(depth + 1)
        if depth < 2 and draw < 0.15:
            return [record(depth + 1) for _ in range(rng.randint(1, 2))]
        if draw < 0.35:
            return [scalar() for _ in range(rng.randint(0, 6))]
        return scalar()

    def record(depth):
        return {key: value(depth) for key in rng.sample(keys, rng.randint(2, 7))}

    return {"kind": "bench", "seed": seed, "items": filled(size, lambda: record(0))}


def make_numbers(seed, size):
    """Coordinates: tracks of longitude, latitude and elevation, as a map service sends
    them. Almost all of the text is numbers."""
    rng = random.Random(seed)

    def track():
        lon, lat = rng.uniform(-180, 180), rng.uniform(-80, 80)
        points = []
        for _ in range(rng.randint(10, 200)):
            lon, lat = lon + rng.uniform(-0.01, 0.01), lat + rng.uniform(-0.01, 0.01)
            points.append([round(lon, 6), round(lat, 6), round(rng.uniform(-50, 4000), 1)])
        return {"geometry": {"coordinates": points, "type": "LineString"}, "id": rng.randrange(10**9),
                "properties": {"accuracy": rng.randint(1, 50), "speed": round(rng.uniform(0, 40), 2)},
                "type": "Feature"}

    return {"features": filled(size, track), "type": "FeatureCollection"}


def make_keys(seed, size):
    """A catalog of events and prices: many small objects with many members and short
    values, the member names repeating throughout."""
    rng = random.Random(seed)
    cities = ["Berlin", "Lisboa", "Kraków", "Zürich", "Oslo", "Praha", "Madrid", "Wien"]
    tiers = ["standard", "reduced", "premium", "box", "standing"]

    def price():
        return {"amount": round(rng.uniform(5, 250), 2), "currency": rng.choice(["EUR", "CHF", "NOK", "CZK"]),
                "fees": round(rng.uniform(0, 9), 2), "id": rng.randrange(10**6), "tier": rng.choice(tiers),
                "available": rng.random() < 0.8, "remaining": rng.randint(0, 400)}

    def event():
        city = rng.choice(cities)
        return {"id": rng.randrange(10**9), "name": f"Event {rng.randrange(10**5)}", "category": rng.randint(1, 40),
                "start": f"2025-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T{rng.randint(10, 22)}:00:00Z",
                "venue": {"id": rng.randrange(10**5), "city": city, "capacity": rng.randint(100, 80000),
                          "geo": {"lat": round(rng.uniform(40, 60), 4), "lon": round(rng.uniform(-9, 25), 4)}},
                "prices": [price() for _ in range(rng.randint(1, 6))], "soldOut": rng.random() < 0.1,
                "tags": rng.sample(["music", "theatre", "sport", "family", "outdoor", "jazz", "opera"], 2),
                "rating": None if rng.random() < 0.3 else round(rng.uniform(1, 5), 1)}

    return {"events": filled(size, event), "currency": "EUR", "page": 1, "total": rng.randint(10**4, 10**5)}


# Text of a social feed: mostly non-ASCII, in every width of code point.
CJK = "".join(map(chr, range(0x4E00, 0x4E00 + 600))) + "。、「」ぁあぃいぅうかがきぎくぐけげこごさざしじアイウエオカキクケコ"
CYRILLIC = ["привет", "мир", "сегодня", "новости", "погода", "Москва", "друзья", "спасибо", "очень", "хорошо"]
EMOJI = [chr(c) for c in range(0x1F600, 0x1F640)] + ["❤️", "👍🏽", "🇩🇪", "✨", "🔥"]
ASCII_WORDS = ["the", "release", "today", "great", "news", "check", "this", "out", "thanks", "update"]


def make_feed(seed, size):
    """A social feed: posts whose text is CJK, Cyrillic, emoji, plain ASCII or a mix,
    with URLs, quotes and line breaks (escaped in the text), and a nested user object."""
    rng = random.Random(seed)

    def words(choices, n):
        return " ".join(rng.choice(choices) for _ in range(n))

    def post_text():
        kind = rng.randrange(5)
        if kind == 0:
            text = "".join(rng.choice(CJK) for _ in range(rng.randint(10, 80)))
        elif kind == 1:
            text = words(CYRILLIC, rng.randint(4, 20))
        elif kind == 2:
            text = words(ASCII_WORDS, rng.randint(4, 20))
        elif kind == 3:
            text = "\"" + words(ASCII_WORDS, 3) + "\"\n" + "".join(rng.choice(CJK) for _ in range(20))
        else:
            text = words(CYRILLIC, 3) + " " + "".join(rng.choice(CJK) for _ in range(8))
        if rng.random() < 0.6:
            text += " " + "".join(rng.choice(EMOJI) for _ in range(rng.randint(1, 4)))
        if rng.random() < 0.4:
            text += f" https://t.example/{rng.getrandbits(40):x}"
        return text

    def user():
        return {"id": rng.randrange(10**12), "name": words(CYRILLIC, 2) if rng.random() < 0.5
                else "".join(rng.choice(CJK) for _ in range(3)),
                "screen_name": f"user_{rng.randrange(10**6)}", "description": post_text(),
                "followers_count": rng.randint(0, 10**6), "verified": rng.random() < 0.05,
                "profile_image_url": f"https://img.example/p/{rng.getrandbits(48):x}.jpg"}

    def post():
        return {"id": rng.randrange(10**18), "id_str": str(rng.randrange(10**18)),
                "created_at": f"Wed Oct {rng.randint(1, 31)} {rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00 +0000 2025",
                "text": post_text(), "lang": rng.choice(["ja", "zh", "ru", "en", "und"]), "user": user(),
                "entities": {"hashtags": [rng.choice(CYRILLIC + ASCII_WORDS) for _ in range(rng.randint(0, 3))],
                             "urls": [{"expanded_url": f"https://news.example/{rng.getrandbits(32):x}/статья",
                                       "url": f"https://t.example/{rng.getrandbits(32):x}"}
                                      for _ in range(rng.randint(0, 2))]},
                "retweet_count": rng.randint(0, 5000), "favorited": rng.random() < 0.1}

    return {"statuses": filled(size, post), "search_metadata": {"count": 100, "query": "新闻 OR новости"}}


MAKERS = {"mixed": make_document, "numbers": make_numbers, "keys": make_keys, "feed": make_feed}


class Document:
    def __init__(self, label, title, kind, size, seed):
        self.label, self.title = label, title
        self.name = f"doc.{label}"  # what GetValue asks the bench client for
        self.unsorted_name = f"doc.{label}.unsorted"
        value = MAKERS[kind](seed, size)
        self.text = json.dumps(value, **DUMP)
        self.unsorted = json.dumps(value, separators=(",", ":"), ensure_ascii=False)
        self.data = self.text.encode("utf-8")

    def fresh(self):
        """A new copy of the document's value: no object of it has been used before."""
        return json.loads(self.text)


# ---------------------------------------------------------------------------------
# The rows. Each group returns its rows; a check that fails raises BenchError.


def result_rows(bench):
    """Results: JSON text to Python value. Each row of the direct route has a floor row
    beside it: marshal.loads building the same value from its marshal form, the least
    that making these Python objects costs."""
    rows = []

    def floor_row(key, what, measured, value, baseline, against):
        """The floor row of a results row. Its note also gives the floor itself against
        that row's baseline (against names it), the two timed together: where the floor
        is above the row's target, meeting the target means building the objects for
        less than marshal does, and the run shows when that is so."""
        blob = marshal.dumps(value)
        if marshal.loads(blob) != value:
            raise BenchError(f"marshal does not give back the value of {key}")
        floor = calls_of(marshal.loads, blob)
        a, b = compare(measured, floor, bench.budget)
        f, j = compare(floor, baseline, bench.budget)
        itself = statistics.median(x / y for x, y in zip(f, j))
        rows.append(Row(f"{key}-f", what, "floor: `marshal.loads(bytes)` of the same value", a, b, target=1.5,
                        note=f"{count(len(blob))} bytes of marshal data; the floor itself: {itself:.2f}× {against}"))

    # Both sides of a 1a row convert the UTF-8 text, as the client library gives it: the
    # JSON library decodes it into a str first (in 1b, ClientApi().GetValue does). Each
    # row's note also gives the ratio against the text decoded beforehand, which leaves
    # that decoding out of the baseline alone.
    for doc in bench.documents:
        value = json.loads(doc.data)
        if vexa_bench.load(doc.data) != value:
            raise BenchError(f"vexa_bench.load of {doc.name} differs from json.loads")
        measured, baseline = calls_of(vexa_bench.load, doc.data), calls_of(json.loads, doc.data)
        a, b = compare(measured, baseline, bench.budget)
        m, d = compare(measured, calls_of(json.loads, doc.text), bench.budget)
        decoded = statistics.median(x / y for x, y in zip(m, d))
        what = f"`vexa_bench.load(bytes)`, {doc.title}"
        rows.append(Row(f"1a-{doc.label}", what, "`json.loads(bytes)`", a, b, target=0.5,
                        note=f"{count(len(doc.data))} bytes; against `json.loads(str)` of the decoded text: "
                             f"{decoded:.2f}×"))
        floor_row(f"1a-{doc.label}", what, measured, value, baseline, "`json.loads(bytes)`")
    for doc in bench.documents:
        # Members in the order they were made, not by name: each object's dict is then
        # built again in the JSON library's order.
        data = doc.unsorted.encode("utf-8")
        if vexa_bench.load(data) != json.loads(data):
            raise BenchError(f"vexa_bench.load of unsorted {doc.name} differs from json.loads")
        a, b = compare(calls_of(vexa_bench.load, data),
                       calls_of(json.loads, data), bench.budget)
        rows.append(Row(f"1a-{doc.label}-s", f"`vexa_bench.load(bytes)`, {doc.title}, members not sorted",
                        "`json.loads(bytes)`", a, b, target=0.8))
    for doc in bench.documents:
        key, what = f"1a-{doc.label}-u", f"`vexa_bench.load(bytes)`, {doc.title}"
        if ujson is None:
            rows.append(Row(key, what, "`ujson.loads(bytes)`", error="ujson is not installed"))
            continue
        same = ujson.loads(doc.data) == json.loads(doc.data)
        a, b = compare(calls_of(vexa_bench.load, doc.data),
                       calls_of(ujson.loads, doc.data), bench.budget)
        rows.append(Row(key, what, "`ujson.loads(bytes)`", a, b, note="" if same else "ujson's value differs"))
    for sorted_text in (True, False):
        for doc in bench.documents:
            name = doc.name if sorted_text else doc.unsorted_name
            value = json.loads(bench.text_client.GetValue(name))
            if bench.json_client.GetValue(name) != value:
                raise BenchError(f"CorvaneJson().GetValue({name!r}) differs from json.loads of ClientApi's text")
            # Each side is one Python function, so that neither pays for a frame the other does not.
            measured = calls_of(lambda name: bench.json_client.GetValue(name), name)
            baseline = calls_of(lambda name: json.loads(bench.text_client.GetValue(name)), name)
            a, b = compare(measured, baseline, bench.budget)
            key = f"1b-{doc.label}" + ("" if sorted_text else "-s")
            what = f"`CorvaneJson().GetValue`, {doc.title}" + ("" if sorted_text else ", members not sorted")
            rows.append(Row(key, what, "`json.loads(ClientApi().GetValue(...))`", a, b,
                            target=0.5 if sorted_text else 0.8))
            if sorted_text:
                floor_row(key, what, measured, value, baseline, "`json.loads(ClientApi().GetValue(...))`")
    return rows


def parameter_rows(bench):
    """Parameters: Python value to JSON text."""
    # Every call gets a copy that no call has used before: a str caches its UTF-8 form
    # on first use, which would favour whichever side dumps the same objects again.
    rows = []
    dumps = functools.partial(json.dumps, **DUMP)
    for doc in bench.documents:
        value = doc.fresh()
        text = vexa_bench.dump_text(value)
        if json.loads(text) != value or vexa_bench.dump(value) != len(text.encode("utf-8")):
            raise BenchError(f"vexa_bench.dump of {doc.name} does not give the document's value")
        a, b = compare(calls_of(vexa_bench.dump, fresh=doc.fresh), calls_of(dumps, fresh=doc.fresh), bench.budget)
        rows.append(Row(f"2a-{doc.label}", f"`vexa_bench.dump(obj)`, {doc.title}", "`json.dumps(obj, ...)`", a, b,
                        target=0.3, note="" if text == doc.text else
                        f"text {count(len(text.encode('utf-8')))} bytes: floats written with other digits"))
    for doc in bench.documents:
        a, b = compare(
            calls_of(lambda value: bench.json_client.ExecuteCommand("bench.consume", value), fresh=doc.fresh),
            calls_of(lambda value: bench.text_client.ExecuteCommand("bench.consume", dumps(value)), fresh=doc.fresh),
            bench.budget)
        rows.append(Row(f"2b-{doc.label}", f"`CorvaneJson().ExecuteCommand`, {doc.title}",
                        "`ClientApi().ExecuteCommand(..., json.dumps(obj, ...))`", a, b, target=0.3))
    return rows


def new_handler():
    def handler(source, payload, context):
        pass

    return handler


@contextmanager
def subscribed(client, paths, per_path, context, make=new_handler):
    """Registers per_path new handlers under each path; yields them; unregisters them."""
    registered = [(path, make()) for path in paths for _ in range(per_path)]
    try:
        for path, handler in registered:
            client.RegisterEvent(path, handler, context)
        yield [handler for _, handler in registered]
    finally:
        for path, handler in registered:
            client.UnregisterEvent(path, handler)


def fire(client, payload, threads, count):
    """Has the bench client's threads deliver; returns the nanoseconds they took."""
    command = {"source": EVENT_SOURCE, "payload": payload, "threads": threads, "count": count}
    return int(client.ExecuteCommand("bench.fire", json.dumps(command)))


def check_delivery(client, paths, per_path, payload):
    """One notification reaches each of per_path handlers under each path once."""
    calls = []
    with subscribed(client, paths, per_path, None, make=lambda: lambda s, p, c: calls.append(s)):
        fire(client, payload, 1, 1)
    if len(calls) != len(paths) * per_path:
        raise BenchError(f"one notification made {len(calls)} handler calls, not {len(paths) * per_path}")


def event_rows(bench):
    """Events: notifications from the bench client's threads into Python handlers."""
    client, budget, context = bench.text_client, bench.budget, object()
    one, path = '{"a":1}', f"{EVENT_SOURCE}.a"
    rows = []

    check_delivery(client, [path], 1, one)
    for threads in (1, 4):
        with subscribed(client, [path], 1, context) as (handler,):
            a, b = compare(lambda n: fire(client, one, threads, n),
                           lambda n: vexa_bench.floor(handler, EVENT_SOURCE, one, context, threads, n),
                           budget, items=threads)
        rows.append(Row(f"3-{threads}t", f"notification into 1 handler, {threads} thread{'s' * (threads > 1)}",
                        "bare callback (`vexa_bench.floor`)", a, b, target=1.1 if threads == 1 else 1.5,
                        note=f"{count(round(1e9 / statistics.median(a)))} vs "
                             f"{count(round(1e9 / statistics.median(b)))} notifications/s"))

    def scaling(key, what, paths, per_path, payload, measured=None, against="—", baseline=None):
        check_delivery(client, paths, per_path, payload)
        with subscribed(client, paths, per_path, context):
            a, b = compare(measured or (lambda n: fire(client, payload, 1, n)), baseline, budget)
        per_handler = Spread(t / (len(paths) * per_path) for t in a)
        rows.append(Row(key, what, against, a, b, note=f"{per_handler.text()} per handler call"))

    for per_path in (1, 10, 1000):
        scaling(f"3-h{per_path}", f"notification, {count(per_path)} handler{'s' * (per_path > 1)} on its path, "
                "1-member payload", [path], per_path, one)
    for items in (1, 100, 10_000):
        keys = [f"k{i:05d}" for i in range(items)]
        payload = json.dumps({key: i for i, key in enumerate(keys)}, **DUMP)
        scaling(f"3-i{items}", f"notification, {count(items)}-member payload, 1 handler per member",
                [f"{EVENT_SOURCE}.{key}" for key in keys], 1, payload)

    # One 10 000-member payload of which only some members have a handler: the cost
    # follows the members that match. (Each handler call gets the whole payload text
    # decoded anew, so a call costs in proportion to the payload's length.)
    keys = [f"k{i:05d}" for i in range(10_000)]
    payload = json.dumps({key: i for i, key in enumerate(keys)}, **DUMP)
    for matched in (1, 100, 10_000):
        scaling(f"3-m{matched}", f"notification, 10 000-member payload, {count(matched)} of its members "
                "with a handler", [f"{EVENT_SOURCE}.{key}" for key in keys[:matched]], 1, payload)

    # The same notification with 10 000 paths of another source in the table as well,
    # registered and withdrawn around each repetition of that side, untimed.
    others = [f"bench.other.{i:05d}" for i in range(10_000)]

    def crowded(n):
        with subscribed(client, others, 1, context):
            return fire(client, one, 1, n)

    scaling("3-table", f"notification, 1 handler, {count(len(others))} other paths registered", [path], 1, one,
            measured=crowded, against="same, no other path registered",
            baseline=lambda n: fire(client, one, 1, n))
    return rows


def async_rows(bench):
    """Events through corvane_tools: notifications into an async iterator."""
    api, budget, context = bench.json_client, bench.budget, object()
    one, path = '{"a":1}', f"{EVENT_SOURCE}.a"
    loop = asyncio.new_event_loop()
    client = AsyncClient(client=api)

    def fire_from_one_thread(n):
        api.ExecuteCommand("bench.fire", {"source": EVENT_SOURCE, "payload": one, "threads": 1, "count": n})

    def expect(received, n, what):
        if len(received) != n or received[-1] != (EVENT_SOURCE, {"a": 1}, context):
            raise BenchError(f"{what}: {len(received)} of {n} notifications, the last {received[-1:]}")

    # Each side registers before its clock starts and withdraws after it stops: the
    # other side's registration must not take the notifications meanwhile.
    def through_iterator(n):
        async def run():
            # A queue that holds every notification of the repetition: none is dropped.
            async with client.subscribe(path, context, maxsize=n) as subscription:
                received = []
                start = time.perf_counter_ns()
                firing = loop.run_in_executor(None, fire_from_one_thread, n)
                async for notification in subscription:
                    received.append(notification)
                    if len(received) == n:
                        break
                await firing
                elapsed = time.perf_counter_ns() - start
            expect(received, n, "async iterator")
            return elapsed

        return loop.run_until_complete(run())

    def on_framework_thread(n):
        received = []

        # The same work as the iterator's consumer: the notification with its payload parsed.
        def handler(source, payload, handler_context):
            received.append((source, json.loads(payload), handler_context))

        api.RegisterEvent(path, handler, context)
        try:
            start = time.perf_counter_ns()
            fire_from_one_thread(n)
            elapsed = time.perf_counter_ns() - start
        finally:
            api.UnregisterEvent(path, handler)
        expect(received, n, "handler")
        return elapsed

    # Many subscriptions on one path: entering them, one notification to all of them,
    # leaving them first-in-first-out. Per subscription, 100 000 against 2 000: a cost
    # that grew with the number on the path would show as a ratio well above 1.
    phases = {}

    def subscriptions_on_one_path(many):
        def side(n):
            async def cycle():
                subscriptions = [client.subscribe(path, i) for i in range(many)]
                start = time.perf_counter_ns()
                for subscription in subscriptions:
                    await subscription.__aenter__()
                entered = time.perf_counter_ns()
                fire_from_one_thread(1)
                delivered = time.perf_counter_ns()
                if any(s.pending != 1 for s in subscriptions):
                    raise BenchError(f"a notification reached {sum(s.pending for s in subscriptions)} "
                                     f"of {many} subscriptions")
                left = time.perf_counter_ns()
                for subscription in subscriptions:
                    await subscription.__aexit__(None, None, None)
                end = time.perf_counter_ns()
                phases.setdefault(many, []).append(
                    [(entered - start) / many, (delivered - entered) / many, (end - left) / many])
                return (entered - start) + (delivered - entered) + (end - left)

            return sum(loop.run_until_complete(cycle()) for _ in range(n))

        return side

    try:
        a, b = compare(through_iterator, on_framework_thread, budget)
        many, few = 100_000, 2_000
        s, f = compare(subscriptions_on_one_path(many), subscriptions_on_one_path(few), budget)
        s, f = [t / many for t in s], [t / few for t in f]
    finally:
        client.close()
        loop.close()
    split = " / ".join(Spread(column).text() for column in zip(*phases[many]))
    return [Row("7-async", "notification through `AsyncClient.subscribe`'s async iterator, 1 thread",
                "the same work in a handler on the framework thread", a, b, target=2.0,
                note=f"{count(round(1e9 / statistics.median(a)))} vs "
                     f"{count(round(1e9 / statistics.median(b)))} notifications/s"),
            Row("7-subs", f"`AsyncClient` subscriptions on one path, per subscription: {count(many)} entered, "
                "1 notification to all, all left", f"the same with {count(few)} on the path", s, f,
                note=f"enter / deliver / leave per subscription with {count(many)}: {split}")]


def call_rows(bench):
    """Call overhead: a short text through ClientApi against a bare pybind11 function."""
    text = bench.text_client.GetValue("short")
    if text != '"ok"' or text != vexa_bench.bare_text("short"):
        raise BenchError(f"GetValue('short') gave {text!r}")
    a, b = compare(calls_of(bench.text_client.GetValue, "short"), calls_of(vexa_bench.bare_text, "short"),
                   bench.budget)
    return [Row("4", '`ClientApi().GetValue("short")`', '`vexa_bench.bare_text("short")`', a, b, target=1.2)]


def construct_rows(bench):
    """Constructing and destroying Vexa::ClientApi, stage by stage."""
    # With the sample framework's signed Tessaly.dll, whose size is realistic; timed by
    # construct_bench, which runs all stages in turn within each repetition.
    machine = MachineState(bench.scratch / "construct", bench.config)
    machine.stage(Path(bench.config["framework_dir"]) / "Tessaly.dll", "Tessaly.dll")
    machine.publish()
    calls = 1 if bench.quick else 5
    out = subprocess.run([bench.config["construct_bench"], str(bench.budget.repetitions), str(calls)],
                         env=machine.environment(), check=True, stdout=subprocess.PIPE).stdout
    report = json.loads(out)
    stages, floor = report["stages"], report["stages"]["sha256"]
    names = {
        "discovery": "discovery (`FindFrameworkDirectory`)",
        "trust": "trust verification (`IsFileTrusted`)",
        "load": "loading (`LoadLibraryExA`, 4 × `GetProcAddress`, `FreeLibrary`)",
        "create": "create + destroy of the interface object (the exports)",
        "client": "`Vexa::ClientApi` construct + destroy, whole",
    }
    # Verification by path reads the file as the floor does, copying nothing more; the
    # whole construction verifies and loads through the stand-in's snapshot.
    targets = {"trust": 1.1, "client": 1.8}
    return [Row(f"5-{stage}", what, "SHA-256 of the file (read, hash)", stages[stage], floor,
                target=targets.get(stage),
                note=f"sample `Tessaly.dll`, {count(report['bytes'])} bytes" if stage == "discovery" else "")
            for stage, what in names.items()]


def catalog_text(providers):
    """A provider catalog as Orbisk.dll keeps it (provider-catalog.json)."""
    entries = [{"name": Path(p).stem, "path": str(p)} for p in providers]
    return json.dumps({"format": 1, "providers": entries}, indent=2, sort_keys=True, ensure_ascii=False) + "\n"


def catalog_machine(bench, name):
    machine = MachineState(bench.scratch / name, bench.config)
    machine.stage(Path(bench.config["framework_dir"]) / "Orbisk.dll", "Orbisk.dll")
    return machine.publish()


def vexareg(bench, machine, *args):
    run = subprocess.run([bench.config["vexareg"], *args], env=machine.environment(), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    if run.returncode != 0:
        raise BenchError(f"vexareg {' '.join(args)} exited with {run.returncode}: {run.stderr!r}")
    return run.stdout


def listed_providers(output):
    if not output.startswith(VEXAREG_BANNER):
        raise BenchError("vexareg -q did not start with its banner")
    document = json.loads(output[len(VEXAREG_BANNER):])
    return [] if document is None else [entry["path"] for entry in document["provider_catalog"]]


def catalog_rows(bench):
    """vexareg -q over a large catalog."""
    # The catalog is written here directly; first make sure that this is exactly the
    # text Orbisk.dll itself writes.
    probe = catalog_machine(bench, "catalog-probe")
    registered = [bench.scratch / "providers" / name for name in ("first.dll", "zweite-größe.dll")]
    registered[0].parent.mkdir()
    for provider in registered:
        provider.touch()
    vexareg(bench, probe, "-r", *map(str, registered))
    if (probe.install_dir / "provider-catalog.json").read_text(encoding="utf-8") != catalog_text(registered):
        raise BenchError("the catalog Orbisk.dll writes differs from the one this driver writes")

    entries = 10_000
    providers = [bench.scratch / "providers" / f"provider-{i:05d}.dll" for i in range(entries)]
    full, empty = catalog_machine(bench, "catalog-full"), catalog_machine(bench, "catalog-empty")
    (full.install_dir / "provider-catalog.json").write_text(catalog_text(providers), encoding="utf-8")
    if listed_providers(vexareg(bench, full, "-q")) != [str(p) for p in providers]:
        raise BenchError(f"vexareg -q did not list the {count(entries)} entries")
    if listed_providers(vexareg(bench, empty, "-q")) != []:
        raise BenchError("vexareg -q listed entries of an empty catalog")

    query = functools.partial(vexareg, bench)
    a, b = compare(calls_of(lambda machine: query(machine, "-q"), full),
                   calls_of(lambda machine: query(machine, "-q"), empty), bench.budget)
    return [Row("6", f"`vexareg -q`, per catalog entry ({count(entries)} entries less none)", "—",
                [(x - y) / entries for x, y in zip(a, b)],
                note=f"whole run: {Spread(a).text()} with {count(entries)} entries (all listed), "
                     f"{Spread(b).text()} with none")]


# ---------------------------------------------------------------------------------


class Bench:
    """What the rows share: the settings, the documents and a machine state whose
    Tessaly.dll is the bench client, with a ClientApi and a CorvaneJson bound to it."""

    def __init__(self, config, quick, scratch):
        self.config, self.quick, self.scratch = config, quick, scratch
        self.budget = Budget(quick)
        self.documents = [Document(*document, seed) for seed, document in enumerate(DOCUMENTS, 1)]
        machine = MachineState(scratch / "client", config)
        machine.stage(config["bench_client"], "Tessaly.dll")
        for doc in self.documents:
            (machine.install_dir / f"{doc.name}.json").write_bytes(doc.data)
            (machine.install_dir / f"{doc.unsorted_name}.json").write_bytes(doc.unsorted.encode("utf-8"))
        machine.publish()
        os.environ["VEXA_PLATFORM_ROOT"] = str(machine.root)
        self.text_client = Corvane.ClientApi()
        self.json_client = Corvane.CorvaneJson()


GROUPS = (("1", result_rows), ("2", parameter_rows), ("3", event_rows), ("4", call_rows),
          ("5", construct_rows), ("6", catalog_rows), ("7", async_rows))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", required=True, help="bench_config.json of the build")
    parser.add_argument("--quick", action="store_true", help="very few repetitions: a smoke test")
    parser.add_argument("--only", metavar="GROUPS", help="only these groups of rows, e.g. 1,3")
    parser.add_argument("--results", metavar="FILE",
                        help="also write the table to FILE, under a header naming the time, load and compiler")
    args = parser.parse_args()
    config = json.loads(Path(args.config).read_text())
    started, load_before = datetime.datetime.now(datetime.timezone.utc), os.getloadavg()

    rows, failed = [], False
    with tempfile.TemporaryDirectory(prefix="vexa-bench-") as scratch:
        bench = Bench(config, args.quick, Path(scratch))
        for key, group in GROUPS:
            if args.only and key not in args.only.split(","):
                continue
            print(f"run_bench: rows {key}...", file=sys.stderr, flush=True)
            try:
                rows.extend(group(bench))
            except Exception as error:  # the other groups still run; the exit status tells
                rows.append(Row(key, group.__doc__, error=f"{type(error).__name__}: {error}"))
                failed = True
        facts = machine_facts(config, bench.budget, args.quick)
        del bench
    print_table(rows, facts)
    if args.results:
        write_results(args.results, rows, facts, config, started, load_before, os.getloadavg())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
