"""Durability of the sample framework's provider catalog under vexareg processes that
run at the same time or are killed part-way.

- Several vexareg processes registering at once lose no registration, and each keeps
  its own order.
- A vexareg process killed (SIGKILL) at a random moment while it registers leaves a
  catalog that `vexareg -q` prints: exit status 0, valid JSON, holding what was there
  before plus a prefix of what the killed process was registering.
"""

import json
import os
import random
import signal
import subprocess
import time

import pytest

from conftest import SANITIZED, Machine

VEXAREG = os.environ["VEXAREG"]
BANNER = b"vexareg - Vexa provider registration tool\n"

WRITERS = 8
PER_WRITER = 50
KILLED_RUNS = 100
# The sanitizer build registers fewer providers per killed run: each registration
# rewrites the whole catalog, and costs several times as much there.
PER_KILLED_RUN = 10 if SANITIZED else 20
# Every so many killed runs, one run goes to its end: it measures how long a whole run
# takes now (the random moments of the next kills lie within that time) and shows that
# writers after killed ones still work.
CALIBRATE_EVERY = 20
# Long names make each catalog write larger, and so the window in which a kill could
# catch a write half done.
PADDING = "_" + "long_provider_file_name" * 3

TIMEOUT = 300


@pytest.fixture
def machine(tmp_path):
    machine = Machine(tmp_path / "machine")
    machine.install_framework()
    return machine


def vexareg(machine, *args, **kwargs):
    return subprocess.Popen([VEXAREG, *args], env=machine.environment(), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **kwargs)


def query(machine):
    """The provider paths `vexareg -q` lists, in catalog order; fails unless it prints
    a valid catalog."""
    process = vexareg(machine, "-q")
    out, err = process.communicate(timeout=TIMEOUT)
    assert (process.returncode, err) == (0, b""), (process.returncode, out, err)
    assert out.startswith(BANNER), out
    document = json.loads(out[len(BANNER):])
    if document is None:
        return []
    entries = document["provider_catalog"]
    for entry in entries:
        assert entry["name"] == os.path.splitext(os.path.basename(entry["path"]))[0], entry
    return [entry["path"] for entry in entries]


def test_concurrent_registrations_are_all_kept(machine):
    batches = [machine.make_providers(f"w{writer}", PER_WRITER) for writer in range(WRITERS)]
    processes = [vexareg(machine, "-r", *batch) for batch in batches]
    for process in processes:
        out, err = process.communicate(timeout=TIMEOUT)
        assert (process.returncode, out, err) == (0, BANNER, b"")

    listed = query(machine)
    print(f"\n{WRITERS} concurrent vexareg -r processes of {PER_WRITER} providers each: "
          f"{len(listed)} providers listed, {len(set(listed))} distinct")
    assert sorted(listed) == sorted(path for batch in batches for path in batch)
    for batch in batches:
        assert [path for path in listed if path in set(batch)] == batch
    # The writers really ran at the same time: their registrations interleave.
    owners = [os.path.basename(path).split("_")[0] for path in listed]
    switches = sum(1 for a, b in zip(owners, owners[1:]) if a != b)
    print(f"  the writers' registrations interleave {switches} times in the catalog")


def test_killed_registrations_leave_a_printable_catalog(machine):
    seed = int(os.environ.get("VEXA_RELIABILITY_SEED", time.time_ns() % 1_000_000))
    print(f"\nseed {seed} (set VEXA_RELIABILITY_SEED to repeat)")
    chance = random.Random(seed)

    expected = []
    outcomes = {"nothing registered": 0, "part registered": 0, "all registered": 0,
                "finished before the kill": 0}
    whole_run_seconds = None
    batch_number = 0

    def run_whole():
        nonlocal whole_run_seconds, batch_number, expected
        batch = machine.make_providers(f"c{batch_number:03d}", PER_KILLED_RUN, PADDING)
        batch_number += 1
        started = time.monotonic()
        process = vexareg(machine, "-r", *batch)
        out, err = process.communicate(timeout=TIMEOUT)
        whole_run_seconds = time.monotonic() - started
        assert (process.returncode, out, err) == (0, BANNER, b"")
        expected += batch
        assert query(machine) == expected

    for run in range(KILLED_RUNS):
        if run % CALIBRATE_EVERY == 0:
            run_whole()
        batch = machine.make_providers(f"k{batch_number:03d}", PER_KILLED_RUN, PADDING)
        batch_number += 1
        process = vexareg(machine, "-r", *batch)
        time.sleep(chance.uniform(0, whole_run_seconds))
        process.send_signal(signal.SIGKILL)
        process.communicate(timeout=TIMEOUT)
        assert process.returncode in (0, -signal.SIGKILL), process.returncode

        listed = query(machine)
        assert listed[:len(expected)] == expected, f"run {run}: earlier registrations changed"
        added = listed[len(expected):]
        assert added == batch[:len(added)], f"run {run}: not a prefix of the batch: {added}"
        if process.returncode == 0:
            outcomes["finished before the kill"] += 1
        elif not added:
            outcomes["nothing registered"] += 1
        elif len(added) < len(batch):
            outcomes["part registered"] += 1
        else:
            outcomes["all registered"] += 1
        expected = listed
    run_whole()

    print(f"{KILLED_RUNS} runs killed at random moments while registering {PER_KILLED_RUN} providers "
          f"(whole run {whole_run_seconds * 1000:.0f} ms at the end): " +
          ", ".join(f"{count} {outcome}" for outcome, count in outcomes.items()) +
          f"; vexareg -q printed a valid catalog after every run ({len(expected)} providers at the end)")
