"""vexareg against the sample framework's own Orbisk.dll: register a provider, list
the catalog, unregister it, list again; and what another local user may plant in the
install directory."""

import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from conftest import BANNER, VEXAREG, Run, touch

FRAMEWORK_DIR = os.environ.get("VEXA_FRAMEWORK_INSTALL_DIR", "")

pytestmark = pytest.mark.skipif(not FRAMEWORK_DIR, reason="this build has no sample framework")


@pytest.fixture
def framework(machine):
    assert (Path(FRAMEWORK_DIR) / "Orbisk.dll").is_file(), \
        f"no Orbisk.dll in {FRAMEWORK_DIR}: build the target vexa_framework first"
    # A private copy of the libraries, so that the catalog the test writes is its own.
    shutil.copytree(FRAMEWORK_DIR, machine.install_dir, dirs_exist_ok=True,
                    ignore=shutil.ignore_patterns("*.json", "*.lock"))
    machine.publish()
    return machine


def listed(run):
    assert run.code == 0, run
    assert run.out.startswith(BANNER)
    return json.loads(run.out[len(BANNER):])


def test_register_list_unregister_list(framework, workdir):
    provider = touch(workdir / "sensor.dll")
    assert listed(framework.run("-q")) is None

    run = framework.run("-r", provider)
    assert (run.code, run.out, run.err) == (0, BANNER, b"")

    catalog = listed(framework.run("-q"))
    assert [entry["path"] for entry in catalog["provider_catalog"]] == [str(provider)]

    run = framework.run("-u", provider)
    assert (run.code, run.out, run.err) == (0, BANNER, b"")
    assert listed(framework.run("-q")) is None


def test_unregistering_an_unknown_provider_fails(framework, workdir):
    run = framework.run("-u", touch(workdir / "unknown.dll"))
    assert run.code == 2
    assert run.out == BANNER
    assert run.err == b"Unregistration failed with exception\n"


def test_registration_stops_at_the_refused_path(framework, workdir):
    first = touch(workdir / "first.dll")
    directory = workdir / "dir.dll"
    directory.mkdir()  # passes the tool's checks, but is no provider file
    third = touch(workdir / "third.dll")
    run = framework.run("-r", first, directory, third)
    assert run.code == 1
    assert run.err == b"Registration failed with exception\n"
    catalog = listed(framework.run("-q"))
    assert [entry["path"] for entry in catalog["provider_catalog"]] == [str(first)]


# Something planted at one of the names the catalog's writers use. The temporary file
# is no longer made under the fixed name "provider-catalog.json.tmp", so what is planted
# there is ignored; anything but a regular file at the lock or catalog name is refused
# at once, and a link there is never followed.
PLANTED = [
    # name, what, exit status of -r, exit status of -q
    ("provider-catalog.json.tmp", "link to a file", 0, 0),
    ("provider-catalog.json.tmp", "link to nothing", 0, 0),
    ("provider-catalog.json.tmp", "fifo", 0, 0),
    ("provider-catalog.lock", "link to a file", 1, 0),
    ("provider-catalog.lock", "link to nothing", 1, 0),
    ("provider-catalog.lock", "fifo", 1, 0),
    ("provider-catalog.lock", "directory", 1, 0),
    ("provider-catalog.json", "fifo", 1, 3),
    ("provider-catalog.json", "socket", 1, 3),
]

# A hang (waiting on a FIFO) fails the test after this long instead of blocking it.
PLANTED_TIMEOUT = 60


def plant(place: Path, what, outside: Path, keep):
    if what == "link to a file":
        victim = outside / "victim"
        victim.write_bytes(b"owned by someone else\n")
        place.symlink_to(victim)
    elif what == "link to nothing":
        place.symlink_to(outside / "created-through-the-link")
    elif what == "fifo":
        os.mkfifo(place)
    elif what == "directory":
        place.mkdir()
    elif what == "socket":
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        keep.append(listener)
        listener.bind(str(place))
        listener.listen()


def snapshot(directory: Path):
    return {path: (path.is_symlink(), path.read_bytes() if path.is_file() and not path.is_symlink() else None)
            for path in directory.rglob("*")}


@pytest.mark.parametrize("name, what, register_code, query_code", PLANTED)
def test_planted_file_is_never_followed_or_waited_on(framework, workdir, name, what, register_code,
                                                     query_code):
    outside = framework.root / "outside"
    outside.mkdir()
    provider = touch(workdir / "sensor.dll")
    sockets = []
    plant(framework.install_dir / name, what, outside, sockets)
    before = snapshot(outside)
    try:
        registration = framework.run("-r", provider, timeout=PLANTED_TIMEOUT)
        query = framework.run("-q", timeout=PLANTED_TIMEOUT)
    finally:
        for listener in sockets:
            listener.close()

    assert snapshot(outside) == before
    expected_err = b"" if register_code == 0 else b"Registration failed with exception\n"
    assert (registration.code, registration.out, registration.err) == (register_code, BANNER, expected_err)
    assert query.code == query_code, query
    if query_code == 0:
        catalog = listed(query)
        registered = [entry["path"] for entry in catalog["provider_catalog"]] if catalog else []
        assert registered == ([str(provider)] if register_code == 0 else [])
    else:
        assert (query.out, query.err) == (BANNER, b"Faild to read catalog with exception\n")
    # A refused writer leaves nothing of its own behind.
    leftovers = [path.name for path in framework.install_dir.iterdir() if ".tmp-" in path.name]
    assert leftovers == []


@pytest.mark.parametrize("option, code, message", [
    ("-q", 3, b"Faild to read catalog with exception\n"),
    ("-r", 1, b"Registration failed with exception\n"),
])
def test_catalog_nested_too_deep_is_refused_and_left_alone(framework, workdir, option, code, message):
    depth = 100_000
    deep = "[" * depth + "]" * depth
    catalog = framework.install_dir / "provider-catalog.json"
    catalog.write_text('{"format": 1, "providers": [{"name": "deep", "path": "/p/deep.dll", "deep": %s}]}' % deep)
    before = catalog.read_bytes()
    args = [option] + ([touch(workdir / "sensor.dll")] if option == "-r" else [])
    run = framework.run(*args)
    assert (run.code, run.out, run.err) == (code, BANNER, message)
    assert catalog.read_bytes() == before


# The catalog is refused beyond 16 MiB, whatever its size says: an endless file (the
# reader's own page map, whose size reads 0) and a sparse file of 64 GiB that takes no
# disk end the run promptly, within bounded memory, and are left as they are; a
# catalog at the limit is read.
CATALOG_LIMIT = 16 << 20
NO_CATALOG = b'{"format": 1, "providers": []}'


def place_catalog(catalog: Path, kind):
    if kind == "endless":
        catalog.symlink_to("/proc/self/pagemap")
    elif kind == "sparse 64 GiB":
        with open(catalog, "wb") as sparse:
            sparse.truncate(64 << 30)
    else:
        size = CATALOG_LIMIT + (1 if kind == "one byte over the limit" else 0)
        catalog.write_bytes(NO_CATALOG + b" " * (size - len(NO_CATALOG)))


def run_measured(framework, *args, timeout=PLANTED_TIMEOUT):
    """Runs vexareg; its outcome and the most memory it held at once, in bytes. A run
    that outlasts timeout seconds is killed and fails the test."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen([VEXAREG, *map(str, args)], env=framework.environment(), stdout=out, stderr=err)
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid != 0:
                break
            if time.monotonic() > deadline:
                process.kill()
                os.wait4(process.pid, 0)
                pytest.fail(f"vexareg {args} ran longer than {timeout} s")
            time.sleep(0.05)
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        completed = subprocess.CompletedProcess(args, process.returncode, out.read(), err.read())
    return Run(completed), usage.ru_maxrss * 1024


@pytest.mark.parametrize("kind, register_code, query_code", [
    ("endless", 1, 3),
    ("sparse 64 GiB", 1, 3),
    ("one byte over the limit", 1, 3),
    ("at the limit", 0, 0),
])
def test_catalog_beyond_its_size_limit_is_refused(framework, workdir, kind, register_code, query_code):
    catalog = framework.install_dir / "provider-catalog.json"
    place_catalog(catalog, kind)
    before = (catalog.is_symlink(), catalog.lstat().st_size)
    provider = touch(workdir / "sensor.dll")

    query, query_peak = run_measured(framework, "-q")
    assert query.code == query_code, query
    if query_code == 0:
        assert listed(query) is None
    else:
        assert (query.out, query.err) == (BANNER, b"Faild to read catalog with exception\n")
    registration, register_peak = run_measured(framework, "-r", provider)
    expected_err = b"" if register_code == 0 else b"Registration failed with exception\n"
    assert (registration.code, registration.out, registration.err) == (register_code, BANNER, expected_err)
    # Memory: the limit and what reading it costs, never the file.
    assert max(query_peak, register_peak) < 512 << 20
    if register_code != 0:
        assert (catalog.is_symlink(), catalog.lstat().st_size) == before


# The writers' lock. flock takes it through any descriptor, so a lock file that another
# user could open for reading would let that user stall every writer. Played by a
# process of the user 'nobody', which opens the lock file read-only and holds the lock
# until told to let go.
NOBODY = 65534


class LockHolder:
    PROGRAM = ("import fcntl, os, sys\n"
               "try:\n"
               "    fd = os.open(sys.argv[1], os.O_RDONLY)\n"
               "except PermissionError:\n"
               "    print('denied', flush=True)\n"
               "    sys.exit(0)\n"
               "fcntl.flock(fd, fcntl.LOCK_EX)\n"
               "print('held', flush=True)\n"
               "sys.stdin.read()\n")

    def __init__(self, lock: Path):
        def drop():
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)

        self.process = subprocess.Popen([sys.executable, "-c", self.PROGRAM, str(lock)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, preexec_fn=drop)
        self.state = self.process.stdout.readline().strip().decode()

    def release(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)
        self.process.stdout.close()


@pytest.fixture
def another_user():
    if os.geteuid() != 0:
        pytest.skip("needs root to play another user")
    holders = []
    yield lambda lock: holders.append(LockHolder(lock)) or holders[-1]
    for holder in holders:
        if holder.process.poll() is None:
            holder.release()


# The lock's documented wait, and room for a loaded machine around it.
LOCK_WAIT = 20
LOCK_TIMEOUT = LOCK_WAIT + 60


@pytest.mark.parametrize("made_by", ["this version", "an earlier version, readable by everyone"])
def test_another_user_cannot_stall_the_writers(framework, workdir, another_user, made_by):
    lock = framework.install_dir / "provider-catalog.lock"
    first, second = touch(workdir / "first.dll"), touch(workdir / "second.dll")
    if made_by == "this version":
        assert framework.run("-r", first, timeout=LOCK_TIMEOUT).code == 0
    else:
        lock.write_bytes(b"")
        os.chmod(lock, 0o644)
    holder = another_user(lock)

    if made_by == "this version":
        # Nobody but the writers can open the lock file at all.
        assert holder.state == "denied"
        run = framework.run("-r", second, timeout=LOCK_TIMEOUT)
        assert (run.code, run.out, run.err) == (0, BANNER, b"")
    else:
        # Opened while it was readable: the writer gives up after its wait with a
        # failed registration instead of waiting for ever, and closes the file to
        # everyone else from then on.
        assert holder.state == "held"
        run = framework.run("-r", second, timeout=LOCK_TIMEOUT)
        assert (run.code, run.out, run.err) == (1, BANNER, b"Registration failed with exception\n")
        assert another_user(lock).state == "denied"
        holder.release()
        assert framework.run("-r", second, timeout=LOCK_TIMEOUT).code == 0
    assert stat.S_IMODE(lock.stat().st_mode) & 0o077 == 0
    catalog = listed(framework.run("-q"))
    expected = [first, second] if made_by == "this version" else [second]
    assert [entry["path"] for entry in catalog["provider_catalog"]] == [str(path) for path in expected]


# Closing a lock file found open to others takes the read access of those who cannot
# write; a group of writers that someone gave write access keeps it.
@pytest.mark.parametrize("found, left", [(0o644, 0o600), (0o640, 0o600), (0o604, 0o600), (0o660, 0o660),
                                         (0o666, 0o666), (0o600, 0o600)])
def test_lock_file_found_open_to_readers_is_closed_to_them(framework, workdir, found, left):
    lock = framework.install_dir / "provider-catalog.lock"
    lock.write_bytes(b"")
    os.chmod(lock, found)
    assert framework.run("-r", touch(workdir / "sensor.dll")).code == 0
    assert stat.S_IMODE(lock.stat().st_mode) == left


# The writers refuse, before anything changes, a catalog larger than the readers accept,
# whichever operation would make it so: written out, each entry is indented, so
# unregistering can carry a catalog that was written compactly over the limit too. The
# largest catalog the readers accept is written.
@pytest.mark.parametrize("option, size, code, message", [
    ("-r", CATALOG_LIMIT, 0, b""),
    ("-r", CATALOG_LIMIT + 1, 1, b"Registration failed with exception\n"),
    ("-u", CATALOG_LIMIT, 0, b""),
    ("-u", CATALOG_LIMIT + 1, 2, b"Unregistration failed with exception\n"),
], ids=["register to the limit", "register past it", "unregister to the limit", "unregister past it"])
def test_catalog_the_readers_would_refuse_is_never_written(framework, workdir, option, size, code, message):
    catalog = framework.install_dir / "provider-catalog.json"
    provider = touch(workdir / "sensor.dll")
    others = [{"name": f"s{i}", "path": f"/p/s{i}.dll"} for i in range(2000)]
    if option == "-u":
        others.append({"name": "sensor", "path": str(provider)})

    def place(pad):
        providers = [{"name": "pad", "path": "/p/" + "x" * pad}] + others
        catalog.write_text(json.dumps({"format": 1, "providers": providers}, separators=(",", ":")))

    # What the operation writes grows byte for byte with the pad: one run on a small
    # catalog tells the pad that makes it `size` bytes.
    place(0)
    assert framework.run(option, provider).code == 0
    place(size - catalog.stat().st_size)
    before = catalog.read_bytes()

    run = framework.run(option, provider)
    assert (run.code, run.out, run.err) == (code, BANNER, message)
    assert [path.name for path in framework.install_dir.iterdir() if ".tmp-" in path.name] == []
    if code != 0:
        assert catalog.read_bytes() == before
    else:
        # The largest catalog the writers make is one the readers take.
        assert catalog.stat().st_size == size
        entries = json.loads(catalog.read_bytes())["providers"]
        assert len(listed(framework.run("-q"))["provider_catalog"]) == len(entries)


# Who may read the catalog is the administrator's choice, not the umask of whoever runs
# the tool: a rewrite keeps the mode, owner and group of the catalog it replaces, and a
# first catalog is made 0644.
@pytest.mark.parametrize("found, umask", [
    (None, 0o077), (None, 0o027), (None, 0o022),
    (0o640, 0o022), (0o600, 0o022), (0o644, 0o077),
], ids=lambda value: "new" if value is None else f"{value:04o}")
def test_catalog_mode_outlives_the_writers_umask(framework, workdir, found, umask):
    catalog = framework.install_dir / "provider-catalog.json"
    first, second = touch(workdir / "first.dll"), touch(workdir / "second.dll")
    owner = (os.geteuid(), os.getegid())
    if found is not None:
        assert framework.run("-r", first).code == 0
        os.chmod(catalog, found)
        if os.geteuid() == 0:
            os.chown(catalog, NOBODY, NOBODY)
            owner = (NOBODY, NOBODY)
    operations = ([] if found else [("-r", first)]) + [("-r", second), ("-u", first)]
    for option, provider in operations:
        run = framework.run(option, provider, preexec=lambda: os.umask(umask))
        assert run.code == 0, (option, run)
        status = catalog.stat()
        assert (oct(stat.S_IMODE(status.st_mode)), status.st_uid, status.st_gid) == \
            (oct(found or 0o644), *owner), option
