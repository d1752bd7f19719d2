"""Soak: constructing and destroying client objects many times over in one process
leaves nothing behind: no mapped library, no thread, no open file, and no resident
memory beyond noise.

The soak runs in a fresh interpreter (so that nothing of pytest moves the figures)
against the sample framework's client library. Each construction discovers the
framework, verifies the library's signature, loads it and creates the client, whose
two threads (sensors and event delivery) start; each destruction joins them and
unloads the library.
"""

import json
import os

import pytest

from conftest import SANITIZED, Machine, run_python

# Constructions per class, after a warm-up that lets the allocator, the thread stacks
# and the interpreter reach their steady state. The sanitizer build runs 3% of them:
# each construction costs about fifteen times as much CPU there.
CYCLES = 300 if SANITIZED else 10_000
WARM_UP = 50 if SANITIZED else 200

# Memory may grow by less than this over the soak: one leaked client per construction
# would exceed it many times over (each holds a data tree and two threads), and so would
# a leak of a kilobyte per construction. The default build measures resident memory.
# Under the sanitizer, resident memory also counts the freed blocks its allocator holds
# back (quarantine, large blocks) and the shadow of every library load, so there the
# bound applies to the bytes the sanitizer's allocator has live, which every heap block
# of ours and of the interpreter (PYTHONMALLOC=malloc) counts in.
MEMORY_BOUND = 8 * 1024 * 1024

SOAK = r"""
import gc, json, os, sys
import Corvane

CYCLES, WARM_UP = {cycles}, {warm_up}

def mapped_files():
    files = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6 and fields[5].startswith("/"):
                # A library is mapped from a sealed snapshot named after its file.
                name = fields[5].rstrip("\n")
                if name.startswith("/memfd:"):
                    name = name[len("/memfd:"):].removesuffix(" (deleted)")
                files.add(name)
    return files

def mappings():
    with open("/proc/self/maps") as maps:
        return sum(1 for _ in maps)

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

if {sanitized}:
    import ctypes
    live_heap = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    live_heap.restype = ctypes.c_size_t

def memory():
    return live_heap() if {sanitized} else resident_bytes()

def snapshot():
    gc.collect()
    return {{"files": sorted(mapped_files()), "mappings": mappings(),
             "threads": len(os.listdir("/proc/self/task")), "fds": len(os.listdir("/proc/self/fd")),
             "memory": memory(), "rss": resident_bytes()}}

def soak(make, count):
    for _ in range(count):
        make()  # the object is destroyed as soon as the call returns it

result = {{}}
for name, make in (("ClientApi", Corvane.ClientApi), ("CorvaneJson", Corvane.CorvaneJson)):
    soak(make, WARM_UP)
    before = snapshot()
    # A live object maps the library and runs its threads: the probes see them.
    alive = make()
    during = snapshot()
    del alive
    soak(make, CYCLES)
    after = snapshot()
    result[name] = {{"before": before, "during": during, "after": after}}
print(json.dumps(result))
"""


def megabytes(size):
    return f"{size / (1024 * 1024):+.2f} MiB"


@pytest.fixture
def soak_machine(tmp_path):
    machine = Machine(tmp_path / "machine")
    machine.install_framework(client=os.environ["VEXA_SOAK_CLIENT"])
    return machine


def test_constructions_leave_no_growth(soak_machine):
    env = soak_machine.environment()
    child = run_python(SOAK.format(cycles=CYCLES, warm_up=WARM_UP, sanitized=SANITIZED), timeout=780, env=env)
    assert (child.returncode, child.stderr) == (0, ""), child.stderr
    result = json.loads(child.stdout)

    client = str(soak_machine.install_dir / "Tessaly.dll")
    for name, figures in result.items():
        before, during, after = figures["before"], figures["during"], figures["after"]
        print(f"\n{name}: {CYCLES} constructions after {WARM_UP} to warm up; "
              f"mapped files {len(before['files'])} -> {len(after['files'])}, "
              f"mappings {before['mappings']} -> {after['mappings']}, "
              f"threads {before['threads']} -> {after['threads']}, "
              f"open files {before['fds']} -> {after['fds']}, "
              f"{'live heap' if SANITIZED else 'resident'} {megabytes(after['memory'] - before['memory'])} "
              f"(bound {megabytes(MEMORY_BOUND)}; {before['memory'] // 1024} KiB -> "
              f"{after['memory'] // 1024} KiB" +
              (f"; resident {megabytes(after['rss'] - before['rss'])})" if SANITIZED else ")"))

        # The probes see a live client: its library and its threads.
        assert client in during["files"], name
        assert during["threads"] >= before["threads"] + 2, name
        # Nothing of the destroyed clients remains.
        assert client not in after["files"], name
        assert after["files"] == before["files"], name
        assert after["threads"] == before["threads"], name
        assert after["fds"] == before["fds"], name
        # Anonymous mappings may come and go with the allocator, but not one per client.
        # The sanitizer's allocator maps each large block (such as the buffer of a
        # library's bytes for its signature check) apart and holds freed ones back.
        assert after["mappings"] - before["mappings"] < (64 if SANITIZED else 16), name
        assert after["memory"] - before["memory"] < MEMORY_BOUND, name
