"""vexareg.exe under Wine against the sample framework: exit statuses and texts,
register/query/unregister, and libraries that fail verification refused before any of
their code runs (a loaded Orbisk.dll would have written the catalog file).

Each test gets a private install directory, published as the framework device in the
Wine prefix's registry (through vexa-wine-machine.exe), with the development root in
the prefix's Root store. Windows console programs end their lines with CR LF; the
expected texts here are written with LF and compared after that translation.
"""

import collections
import json
import os
import re
import shutil
import subprocess
import tempfile
import warnings
from pathlib import Path

import pytest

WINE = os.environ.get("VEXA_WINE", "/usr/lib/wine/wine64")
VEXAREG = os.environ["VEXAREG"]
MACHINE_TOOL = os.environ["VEXA_WINE_MACHINE"]
DEV_ROOT_CERT = os.environ["VEXA_DEV_ROOT_CERT"]
FRAMEWORK_DIR = Path(os.environ["VEXA_FRAMEWORK_INSTALL_DIR"])
SWAP_ATTACKER = os.environ["VEXA_SWAP_ATTACKER"]
LOCK_HOLDER = os.environ["VEXA_LOCK_HOLDER"]
# A library whose code, the moment any of it runs, appends a line to the file that
# VEXA_TEST_RECORD_FILE names.
RECORDING_UNSIGNED = os.environ["VEXA_RECORDING_UNSIGNED"]
SWAP_RACE_RUNS = 40

BANNER = b"vexareg - Vexa provider registration tool\n"
NOT_OPENED = b"Catalog operation failed\n"


def windows(path) -> str:
    """The name under which Wine's drive Z: shows a path of this machine."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wine(*args, env=None, timeout=120):
    return subprocess.run([WINE, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, timeout=timeout)


def machine_tool(*args):
    """Runs vexa-wine-machine.exe and returns what it printed. The tool names every
    failure on its standard error; a status without a word there is a start that
    never reached its main (see run_vexareg), tried once more and reported."""
    completed = wine(MACHINE_TOOL, *args)
    if completed.returncode != 0 and not completed.stderr:
        warnings.warn(f"Wine did not start vexa-wine-machine.exe {' '.join(args)} "
                      f"(status {completed.returncode}); started again")
        completed = wine(MACHINE_TOOL, *args)
    assert completed.returncode == 0, completed
    return completed.stdout


# Wine's own error lines ("0123:err:channel:function ...", or without the thread's
# number when Wine fails before the thread exists: "err:virtual:virtual_alloc_first_teb
# wine: failed to map the shared user data"), told apart from what the program wrote to
# its standard error.
WINE_ERROR = re.compile(rb"^(?:[0-9a-f]{4,8}:)?err:", re.MULTILINE)


class Run:
    def __init__(self, completed):
        self.code = completed.returncode
        self.out = completed.stdout.replace(b"\r\n", b"\n")
        lines = completed.stderr.replace(b"\r\n", b"\n").splitlines(keepends=True)
        self.wine_errors = b"".join(line for line in lines if WINE_ERROR.match(line))
        self.err = b"".join(line for line in lines if not WINE_ERROR.match(line))

    def started(self):
        """vexareg writes its banner before anything else; a run without it and without
        a word on standard error never reached the program's main."""
        return self.out.startswith(BANNER) or self.err != b""

    def __repr__(self):
        return f"Run(code={self.code}, out={self.out!r}, err={self.err!r}, wine_errors={self.wine_errors!r})"


def run_vexareg(*args, env=None, timeout=120):
    """vexareg.exe under Wine, with Wine's errors shown (apart from the program's).

    A CI run once saw vexareg.exe end with status 1 having written nothing at all, not
    even the banner that is its first line: Wine never reached its main, so nothing was
    done. Such a start is tried once more and reported as a warning in the run's
    summary, with Wine's errors, so that each one is counted, never hidden; a second
    failed start fails the test."""
    env = dict(os.environ if env is None else env, WINEDEBUG="-all,err+all")
    run = Run(wine(VEXAREG, *args, env=env, timeout=timeout))
    if not run.started():
        warnings.warn(f"Wine did not start vexareg.exe {' '.join(map(str, args))}: {run!r}; started again")
        run = Run(wine(VEXAREG, *args, env=env, timeout=timeout))
    return run


def usage():
    return (b"Usage: " + windows(VEXAREG).encode() + b" [OPTION] [absolute_path_to_dll] \n"
            b" Options: '-r' register providers.\n"
            b" Options: '-u' unregister providers.\n"
            b" Options: '-q' query providers.\n")


class Machine:
    def __init__(self, root: Path):
        self.root = root
        self.install_dir = root / "fw"
        self.work = root / "work"
        self.install_dir.mkdir()
        self.work.mkdir()

    def publish(self):
        machine_tool("publish", windows(self.install_dir))

    def run(self, *args):
        return run_vexareg(*args)

    def provider(self, name):
        path = self.work / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"not really a library")
        return path


@pytest.fixture(scope="session", autouse=True)
def trusted_root():
    """The development root in the prefix's Root store for the whole session (each
    import costs a second under Wine); a test that needs it absent removes it."""
    machine_tool("trust", windows(DEV_ROOT_CERT))
    yield
    machine_tool("distrust", windows(DEV_ROOT_CERT))


@pytest.fixture
def machine():
    root = Path(tempfile.mkdtemp(prefix="vexareg-wine-"))
    try:
        yield Machine(root)
    finally:
        machine_tool("remove")
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def framework(machine):
    for library in ("Orbisk.dll", "Tessaly.dll"):
        shutil.copyfile(FRAMEWORK_DIR / library, machine.install_dir / library)
    machine.publish()
    return machine


def listed(run):
    assert run.code == 0, run
    assert run.out.startswith(BANNER), run
    return json.loads(run.out[len(BANNER):])


def test_help_gives_6(framework):
    for option in ("-h", "-?"):
        run = framework.run(option)
        assert (run.code, run.out, run.err) == (6, BANNER + usage(), b""), run


def test_no_arguments_and_unknown_options_are_incorrect_input(framework):
    for arguments in ([], ["-x"], ["-rq"]):
        run = framework.run(*arguments)
        assert (run.code, run.out, run.err) == (4, BANNER + usage(), b"Incorrect input\n"), (arguments, run)


def test_not_a_dll_gives_10(framework):
    for name in ("a.DLL", "a.txt", "a.dll.bak"):
        run = framework.run("-r", windows(framework.provider(name)))
        assert (run.code, run.out, run.err) == (10, BANNER, b"The specified file is not a DLL\n"), (name, run)


def test_missing_path_gives_9(framework):
    run = framework.run("-r", windows(framework.work / "missing.dll"))
    assert (run.code, run.out, run.err) == (9, BANNER, b"The specified file does not exist\n"), run


def test_register_query_unregister_query(framework):
    provider = framework.provider("sensor.dll")
    assert listed(framework.run("-q")) is None

    run = framework.run("-r", windows(provider))
    assert (run.code, run.out, run.err) == (0, BANNER, b""), run

    catalog = listed(framework.run("-q"))
    assert catalog == {"provider_catalog": [{"name": "sensor", "path": windows(provider)}]}

    run = framework.run("-u", windows(provider))
    assert (run.code, run.out, run.err) == (0, BANNER, b""), run
    assert listed(framework.run("-q")) is None


@pytest.fixture(scope="session")
def code_page_1252():
    """The prefix's ANSI code page must be 1252, the Western European one, for the
    characters below to be in it (the test script runs Wine under a C.UTF-8 locale,
    which Wine maps to the English locale and so to 1252)."""
    ansi = int(machine_tool("code-pages").split()[0])
    assert ansi == 1252, f"the ANSI code page of the Wine prefix is {ansi}, not 1252"


# Characters of code page 1252 outside ASCII, in the file name and in a directory above
# it; "€" is where 1252 and ISO 8859-1 part ways (0x80), so a conversion through the C
# library's Latin-1 reading would name another file.
@pytest.mark.parametrize("name", ["café.dll", "Größe/Grüße.dll", "€uro.dll"])
def test_code_page_paths_are_registered_queried_and_unregistered(framework, code_page_1252, name):
    provider = framework.provider(name)
    argument = windows(provider)

    run = framework.run("-r", argument)
    assert (run.code, run.out, run.err) == (0, BANNER, b""), run
    # The query examines its path arguments too; the catalog records the path as given.
    catalog = listed(framework.run("-q", argument))
    assert catalog == {"provider_catalog": [{"name": provider.stem, "path": argument}]}

    run = framework.run("-u", argument)
    assert (run.code, run.out, run.err) == (0, BANNER, b""), run
    assert listed(framework.run("-q")) is None


# Names that Windows refuses (ERROR_INVALID_NAME) do not exist for it, even where a
# file of that name exists on this machine's side of drive Z:.
@pytest.mark.parametrize("name", ["a<b.dll", "a>b.dll", "a|b.dll", "a*.dll", "a?.dll"])
@pytest.mark.parametrize("option", ["-r", "-q"])
def test_names_windows_refuses_give_9(framework, option, name):
    run = framework.run(option, windows(framework.provider(name)))
    assert (run.code, run.out, run.err) == (9, BANNER, b"The specified file does not exist\n"), run
    assert listed(framework.run("-q")) is None


# A character the code page lacks reaches the program as a look-alike ("ā" as "a") or a
# default character, which would name another file, here one that exists. Such a path
# cannot be examined: 8, and nothing is registered; a later missing path still gives 9.
@pytest.mark.parametrize("name", ["ā.dll", "Ω.dll", "日本.dll"])
def test_characters_outside_the_code_page_cannot_be_examined(framework, code_page_1252, name):
    for look_alike in ("a.dll", "O.dll", "?.dll", "??.dll"):
        framework.provider(look_alike)
    provider = windows(framework.provider(name))
    for option in ("-r", "-q"):
        run = framework.run(option, provider)
        assert (run.code, run.out, run.err) == (8, BANNER, NOT_OPENED), (option, run)
    run = framework.run("-r", provider, windows(framework.work / "missing.dll"))
    assert (run.code, run.out, run.err) == (9, BANNER, b"The specified file does not exist\n"), run
    assert listed(framework.run("-q")) is None


def test_unregistering_an_unknown_provider_gives_2(framework):
    run = framework.run("-u", windows(framework.provider("unknown.dll")))
    assert (run.code, run.out, run.err) == (2, BANNER, b"Unregistration failed with exception\n"), run


def test_no_framework_published_gives_8(machine):
    for arguments in ([], ["-h"], ["-q"]):
        run = machine.run(*arguments)
        assert (run.code, run.out, run.err) == (8, BANNER, NOT_OPENED), (arguments, run)


def catalog_untouched(machine):
    return not (machine.install_dir / "provider-catalog.json").exists()


# A refused library ends the run with 8 like every catalog that cannot be opened; that
# the loader's result is 42 (invalid digital signature) the loader tests check.
def test_unsigned_orbisk_is_refused(machine):
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(FRAMEWORK_DIR / "Orbisk.dll"),
                    "-out", str(machine.install_dir / "Orbisk.dll")], check=True, stdout=subprocess.DEVNULL)
    machine.publish()
    run = machine.run("-r", windows(machine.provider("sensor.dll")))
    assert (run.code, run.out, run.err) == (8, BANNER, NOT_OPENED), run
    assert catalog_untouched(machine)


def test_tampered_orbisk_is_refused(machine):
    data = bytearray((FRAMEWORK_DIR / "Orbisk.dll").read_bytes())
    at = data.find(b"provider-catalog.json")
    assert at > 0
    data[at] ^= 0x20  # one letter of the catalog's file name changes case
    (machine.install_dir / "Orbisk.dll").write_bytes(bytes(data))
    machine.publish()
    run = machine.run("-r", windows(machine.provider("sensor.dll")))
    assert (run.code, run.out, run.err) == (8, BANNER, NOT_OPENED), run
    assert catalog_untouched(machine)


def test_orbisk_of_an_untrusted_signer_is_refused(machine):
    shutil.copyfile(FRAMEWORK_DIR / "Orbisk.dll", machine.install_dir / "Orbisk.dll")
    machine.publish()
    machine_tool("distrust", windows(DEV_ROOT_CERT))
    try:
        run = machine.run("-r", windows(machine.provider("sensor.dll")))
    finally:
        machine_tool("trust", windows(DEV_ROOT_CERT))
    assert (run.code, run.out, run.err) == (8, BANNER, NOT_OPENED), run
    assert catalog_untouched(machine)


def test_signed_orbisk_is_accepted(machine):
    # The counterpart of the refusals above, with the same staging.
    shutil.copyfile(FRAMEWORK_DIR / "Orbisk.dll", machine.install_dir / "Orbisk.dll")
    machine.publish()
    run = machine.run("-r", windows(machine.provider("sensor.dll")))
    assert (run.code, run.out, run.err) == (0, BANNER, b""), run
    assert not catalog_untouched(machine)


@pytest.mark.parametrize("mode", ["move", "write"])
def test_unsigned_code_never_runs_while_orbisk_is_swapped(framework, mode):
    """Another Windows process puts the signed Orbisk.dll and an unsigned library at the
    published path in turn (MoveFileExW over it, or CreateFileW + WriteFile in place) as
    fast as it can while vexareg.exe starts: while the loader holds the file its attempts
    fail, and the unsigned library's code never runs."""
    target = framework.install_dir / "Orbisk.dll"
    signed = framework.work / "signed-Orbisk.dll"
    shutil.copyfile(target, signed)
    record = framework.work / "unsigned-code-ran.txt"
    stop = framework.work / "stop"
    attacker = subprocess.Popen([WINE, SWAP_ATTACKER, mode, windows(target), windows(signed),
                                 windows(RECORDING_UNSIGNED), windows(stop)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    env = dict(os.environ, VEXA_TEST_RECORD_FILE=windows(record))
    outcomes = collections.Counter()
    try:
        for _ in range(SWAP_RACE_RUNS):
            outcomes[run_vexareg("-q", env=env).code] += 1
    finally:
        stop.touch()
        out, err = attacker.communicate(timeout=120)
    assert attacker.returncode == 0, err
    succeeded, refused = map(int, out.split())
    ran = record.read_text().splitlines() if record.exists() else []
    print(f"{mode}: vexareg exits {dict(outcomes)}, swaps {succeeded} done and {refused} refused, "
          f"unsigned code ran {len(ran)} times")
    assert ran == [], "the unsigned library's code ran"
    assert set(outcomes) <= {0, 8}, outcomes
    # Both libraries were met, and the attacker was stopped at least once.
    assert outcomes[0] > 0 and outcomes[8] > 0 and refused > 0, (outcomes, succeeded, refused)


@pytest.mark.parametrize("name", ["provider-catalog.json.tmp", "provider-catalog.lock"])
@pytest.mark.parametrize("target", ["victim", "created-through-the-link"])
def test_planted_link_is_never_followed(framework, name, target):
    # Wine shows the links of this machine's file system to the program as they are;
    # whatever it makes of them, the writer must neither create nor change a file
    # outside the install directory, and the registration succeeds or fails cleanly.
    outside = framework.root / "outside"
    outside.mkdir()
    (outside / "victim").write_bytes(b"owned by someone else\n")
    (framework.install_dir / name).symlink_to(outside / target)
    before = {path.name: path.read_bytes() for path in outside.iterdir()}

    run = framework.run("-r", windows(framework.provider("sensor.dll")))

    assert {path.name: path.read_bytes() for path in outside.iterdir()} == before
    assert (run.code, run.out, run.err) in [(0, BANNER, b""), (1, BANNER, b"Registration failed with exception\n")], run
    assert [path.name for path in framework.install_dir.iterdir() if ".tmp-" in path.name] == []


# The writers' lock held by another process through a handle opened for reading alone
# (LockFileEx accepts one): the writer gives up after its documented wait with a failed
# registration instead of waiting for ever, and registers once the lock is let go.
# Wine runs every process as the same user and does not enforce the lock file's
# protection, so only the bounded wait shows here.
LOCK_WAIT = 20


def test_lock_held_through_a_read_handle_stalls_no_writer(framework):
    lock = framework.install_dir / "provider-catalog.lock"
    lock.write_bytes(b"")
    holder = subprocess.Popen([WINE, LOCK_HOLDER, windows(lock)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline().strip() == b"held"
        provider = windows(framework.provider("sensor.dll"))
        run = run_vexareg("-r", provider, timeout=LOCK_WAIT + 100)
        assert (run.code, run.out, run.err) == (1, BANNER, b"Registration failed with exception\n"), run
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)
        holder.stdout.close()
    assert framework.run("-r", provider).code == 0
    assert [entry["path"] for entry in listed(framework.run("-q"))["provider_catalog"]] == [provider]
