"""vexareg against the sample framework's own Orbisk.dll: register a provider, list
the catalog, unregister it, list again."""

import json
import os
import shutil
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
