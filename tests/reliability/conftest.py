"""Fixtures shared by the reliability tests.

Each test gets a private machine state (a fresh directory that VEXA_PLATFORM_ROOT
names), set up with the vexa-platform tool the way a driver installation would:
trust the development root, copy the sample framework into an install directory and
publish the framework's device interface pointing there. ctest passes the paths below
through the environment.
"""

import faulthandler
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

PLATFORM_TOOL = os.environ.get("VEXA_PLATFORM_TOOL", "vexa-platform")
DEV_ROOT_CERT = os.environ.get("VEXA_DEV_ROOT_CERT", "")
# The sample framework as the build staged it (the Python tests' and vexareg tests'
# names for it).
FRAMEWORK_DIR = os.environ.get("VEXA_FRAMEWORK_DIR") or os.environ.get("VEXA_FRAMEWORK_INSTALL_DIR", "")
# Set by ctest in the sanitizer build, whose tests run with smaller counts.
SANITIZED = os.environ.get("VEXA_RELIABILITY_SANITIZED") == "1"

FRAMEWORK_CLASS = "{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}"
FRAMEWORK_INSTANCE = "SWD\\VexaFramework\\0000"

WATCHDOG_SECONDS = 800


class Machine:
    """One private machine-state directory with the sample framework published."""

    def __init__(self, root):
        self.root = Path(root)
        self.install_dir = self.root / "fw"
        self.providers_dir = self.root / "providers"

    def tool(self, *args):
        subprocess.run([PLATFORM_TOOL, "--root", str(self.root), *args], check=True,
                       stdout=subprocess.DEVNULL)

    def install_framework(self, client=None):
        """Copies the sample framework into the install directory and publishes it;
        `client` replaces its Tessaly.dll when given."""
        assert (Path(FRAMEWORK_DIR) / "Tessaly.dll").is_file(), \
            f"no sample framework in {FRAMEWORK_DIR!r}: build the target vexa_framework first"
        # The libraries only: a catalog or settings the build tree's copy may hold are
        # not this machine's.
        shutil.copytree(FRAMEWORK_DIR, self.install_dir, ignore=shutil.ignore_patterns("*.json", "*.lock"))
        if client is not None:
            shutil.copyfile(client, self.install_dir / "Tessaly.dll")
        self.providers_dir.mkdir()
        self.tool("trust", DEV_ROOT_CERT)
        self.tool("publish", FRAMEWORK_INSTANCE, "--interface", FRAMEWORK_CLASS,
                  "--value", f"InstallDir={self.install_dir}")

    def environment(self):
        env = dict(os.environ)
        env["VEXA_PLATFORM_ROOT"] = str(self.root)
        return env

    def make_providers(self, prefix, count, padding=""):
        """Creates count provider files; returns their absolute paths in order."""
        paths = []
        for i in range(count):
            path = self.providers_dir / f"{prefix}_{i:03d}{padding}.dll"
            path.write_bytes(b"provider\n")
            paths.append(str(path))
        return paths


@pytest.fixture
def framework_machine(tmp_path, monkeypatch):
    """A machine state with the sample framework published, named by VEXA_PLATFORM_ROOT."""
    machine = Machine(tmp_path / "machine")
    machine.install_framework()
    monkeypatch.setenv("VEXA_PLATFORM_ROOT", str(machine.root))
    return machine


@pytest.fixture(autouse=True)
def watchdog():
    """Ends the process with every thread's traceback if a test hangs."""
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def run_python(code, timeout, env=None):
    """Runs code in a fresh interpreter that finds the module."""
    env = dict(os.environ if env is None else env)
    if "libasan" in env.get("LD_PRELOAD", ""):
        # Objects then live in blocks the sanitizer watches, so that a use after free
        # of a Python object is reported too.
        env["PYTHONMALLOC"] = "malloc"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=timeout)
