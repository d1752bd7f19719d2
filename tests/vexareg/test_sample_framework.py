"""vexareg against the sample framework's own Orbisk.dll: register a provider, list
the catalog, unregister it, list again; and what another local user may plant in the
install directory."""

import json
import os
import shutil
import socket
from pathlib import Path

import pytest

from conftest import BANNER, touch

FRAMEWORK_DIR = os.environ.get("VEXA_FRAMEWORK_INSTALL_DIR", "")

pytestmark = pytest.mark.skipif(not FRAMEWORK_DIR, reason="this build has no sample framework")


@pytest.fixture
def framework(machine):
    assert (Path(FRAMEWORK_DIR) / "Orbisk.dll").is_file(), \
        f"no Orbisk.dll in {FRAMEWORK_DIR}: build the target vexa_framework first"
    # A private copy, so that the catalog the test writes is its own.
    shutil.copytree(FRAMEWORK_DIR, machine.install_dir, dirs_exist_ok=True)
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
