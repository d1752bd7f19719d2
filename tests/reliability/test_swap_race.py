"""The library that runs is the library that was verified.

A second process swaps a signed library and an unsigned one at the published path of
Tessaly.dll (for Corvane) or Orbisk.dll (for vexareg) as fast as it can, by renaming
one over the other and by rewriting the file in place, while clients start one after
the other. The unsigned library records a line the moment any code of it runs; no
line may ever appear. Every client either binds the signed library or is refused with
the invalid-signature text: a file caught half rewritten never passes.
"""

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import SANITIZED, Machine, run_python

UNSIGNED = os.environ["VEXA_UNSIGNED_LIBRARY"]
SIGNED_CLIENT = os.environ["VEXA_SOAK_CLIENT"]
VEXAREG = os.environ["VEXAREG"]

# Per swap mode; the sanitizer build, where each start costs far more, runs fewer.
CORVANE_CLIENTS = 200 if SANITIZED else 1000
VEXAREG_RUNS = 50 if SANITIZED else 250
TIMEOUT = 600

SWAPPER = textwrap.dedent(r"""
    import os, shutil, sys, time
    target, signed, unsigned, mode, stop = sys.argv[1:6]
    swaps = 0
    if mode == "rename":
        # Hard links of both files beside the target, renamed over it in turn.
        masters = [target + ".signed", target + ".unsigned"]
        shutil.copyfile(signed, masters[0])
        shutil.copyfile(unsigned, masters[1])
        spare = target + ".swap"
        while not os.path.exists(stop):
            for master in masters:
                if os.path.lexists(spare):
                    os.unlink(spare)
                os.link(master, spare)
                os.replace(spare, target)
                swaps += 1
    else:
        contents = [open(signed, "rb").read(), open(unsigned, "rb").read()]
        while not os.path.exists(stop):
            for content in contents:
                started = time.monotonic()
                with open(target, "r+b") as out:
                    out.write(content)
                    out.truncate()
                swaps += 1
                # The file is whole only between two writes. Pausing as long as the
                # write took keeps it whole about half the time, however loaded the
                # machine, so that clients meet each library whole as well as half written.
                time.sleep(max(0.002, time.monotonic() - started))
    print(swaps)
    """)


class Swapper:
    """The attacking process, for the duration of a with block."""

    def __init__(self, target, signed, mode, scratch):
        self.stop = scratch / f"stop-{mode}"
        self.process = subprocess.Popen(
            [sys.executable, "-c", SWAPPER, str(target), str(signed), UNSIGNED, mode, str(self.stop)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.swaps = 0

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.stop.touch()
        out, err = self.process.communicate(timeout=TIMEOUT)
        assert self.process.returncode == 0, err
        self.swaps = int(out)


CORVANE_CLIENTS_LOOP = """
import collections, sys
import Corvane
outcomes = collections.Counter()
for _ in range({count}):
    try:
        Corvane.ClientApi()
        outcomes["bound"] += 1
    except Corvane.VexaException as error:
        outcomes[str(error)] += 1
for outcome, times in sorted(outcomes.items()):
    print(f"{{times}}\\t{{outcome}}")
"""


def start_corvane_clients(env):
    result = run_python(CORVANE_CLIENTS_LOOP.format(count=CORVANE_CLIENTS), TIMEOUT, env)
    assert result.returncode == 0, result.stderr
    outcomes = {}
    for line in result.stdout.splitlines():
        times, outcome = line.split("\t", 1)
        outcomes[outcome] = int(times)
    return outcomes


def start_vexareg_runs(env):
    outcomes = {}
    for _ in range(VEXAREG_RUNS):
        run = subprocess.run([VEXAREG, "-q"], env=env, capture_output=True, timeout=TIMEOUT)
        assert run.returncode >= 0, f"vexareg ended by signal {-run.returncode}"
        outcome = "bound" if run.returncode == 0 else f"exit {run.returncode}"
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    return outcomes


TOOLS = {
    # tool: (library file, how clients start, the refusal as it shows); Corvane's signed
    # library is the debug-stripped client, which keeps each signature check cheap.
    "corvane": ("Tessaly.dll", start_corvane_clients,
                "Failed to load library: Tessaly.dll : 42 : Invalid Digital Signature"),
    "vexareg": ("Orbisk.dll", start_vexareg_runs, "exit 8"),
}


@pytest.mark.parametrize("mode", ["rename", "rewrite"])
@pytest.mark.parametrize("tool", sorted(TOOLS))
def test_unsigned_code_never_runs_while_the_library_is_swapped(tmp_path, tool, mode):
    file_name, start_clients, refusal = TOOLS[tool]
    machine = Machine(tmp_path / "machine")
    machine.install_framework(client=SIGNED_CLIENT)
    target = machine.install_dir / file_name
    signed_copy = tmp_path / f"signed-{file_name}"
    signed_copy.write_bytes(target.read_bytes())
    record = tmp_path / "unsigned-code-ran.txt"
    env = machine.environment()
    env["VEXA_TEST_RECORD_FILE"] = str(record)

    with Swapper(target, signed_copy, mode, tmp_path) as swapper:
        outcomes = start_clients(env)

    ran = record.read_text().splitlines() if record.exists() else []
    print(f"{tool}, {mode}: {sum(outcomes.values())} starts, {swapper.swaps} swaps, {outcomes}, "
          f"unsigned code ran {len(ran)} times")
    assert ran == [], "the unsigned library's code ran"
    assert set(outcomes) <= {"bound", refusal}, outcomes
    # Both libraries were met, so the race was real.
    assert outcomes.get("bound", 0) > 0 and outcomes.get(refusal, 0) > 0, outcomes
