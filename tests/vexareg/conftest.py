"""Process-level fixtures for the vexareg tests.

Each test gets a private machine state (a directory that VEXA_PLATFORM_ROOT names
for the tool only), set up with the platform tool the way a driver installation
would: trust the development root, stage a signed library as Orbisk.dll in an
install directory, and publish the framework's device interface pointing there.
"""

import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

VEXAREG = os.environ["VEXAREG"]
CATALOG_DOUBLE = os.environ["VEXAREG_CATALOG_DOUBLE"]
PLATFORM_TOOL = os.environ["VEXA_PLATFORM_TOOL"]
DEV_ROOT_CERT = os.environ["VEXA_DEV_ROOT_CERT"]

FRAMEWORK_INSTANCE = "SWD\\VexaFramework\\0000"
FRAMEWORK_CLASS = "{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}"

BANNER = b"vexareg - Vexa provider registration tool\n"
CLOSED = b"catalog-double: destroyed\n"


def usage(program):
    return (b"Usage: " + os.fsencode(program) + b" [OPTION] [absolute_path_to_dll] \n"
            b" Options: '-r' register providers.\n"
            b" Options: '-u' unregister providers.\n"
            b" Options: '-q' query providers.\n")


class Run:
    """The outcome of one vexareg process."""

    def __init__(self, completed):
        self.code = completed.returncode
        self.out = completed.stdout
        self.err = completed.stderr

    def __repr__(self):
        return f"Run(code={self.code}, out={self.out!r}, err={self.err!r})"


class Machine:
    def __init__(self, root: Path):
        self.root = root
        self.install_dir = root / "fw"
        self.install_dir.mkdir()

    def platform(self, *args):
        subprocess.run([PLATFORM_TOOL, "--root", str(self.root), *args], check=True,
                       stdout=subprocess.DEVNULL)

    def publish(self):
        self.platform("trust", DEV_ROOT_CERT)
        self.platform("publish", FRAMEWORK_INSTANCE, "--interface", FRAMEWORK_CLASS,
                      "--value", f"InstallDir={self.install_dir}")

    def stage(self, library, name="Orbisk.dll"):
        target = self.install_dir / name
        shutil.copyfile(library, target)
        return target

    def environment(self):
        env = dict(os.environ)
        env["VEXA_PLATFORM_ROOT"] = str(self.root)
        return env

    def run(self, *args, program=VEXAREG, cwd=None, stdout=subprocess.PIPE, preexec=None, timeout=120):
        """Runs vexareg with stdout and stderr captured apart; a run that outlasts
        timeout seconds fails the test."""
        completed = subprocess.run([program, *map(str, args)], cwd=cwd, env=self.environment(),
                                   stdout=stdout, stderr=subprocess.PIPE, preexec_fn=preexec,
                                   timeout=timeout)
        return Run(completed)

    def run_merged(self, *args, cwd=None):
        """Runs vexareg with both streams into one pipe, to see the order of writes."""
        completed = subprocess.run([VEXAREG, *map(str, args)], cwd=cwd, env=self.environment(),
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        return completed.returncode, completed.stdout


class CatalogDouble:
    """The scriptable Orbisk.dll of a machine state: its script and its call log."""

    def __init__(self, machine: Machine):
        self.machine = machine
        self.library = machine.stage(CATALOG_DOUBLE)
        self.script_file = machine.install_dir / "catalog-double.json"
        self.log_file = machine.install_dir / "catalog-double.log"

    def script(self, **members):
        self.script_file.write_text(json.dumps(members))

    def calls(self):
        """Every call so far, as tuples such as ("register", "/p/a.dll")."""
        if not self.log_file.exists():
            return []
        return [tuple(json.loads(line)) for line in self.log_file.read_text().splitlines()]

    def forget_calls(self):
        self.log_file.unlink(missing_ok=True)


@pytest.fixture
def machine():
    # World-readable, so that the tests running the tool as an unprivileged user can
    # reach the machine state and the library.
    root = Path(tempfile.mkdtemp(prefix="vexareg-machine-"))
    os.chmod(root, 0o755)
    try:
        yield Machine(root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def catalog(machine):
    """A published framework whose Orbisk.dll is the catalog double."""
    double = CatalogDouble(machine)
    machine.publish()
    return double


@pytest.fixture
def workdir(machine):
    """A scratch directory for provider files, outside the install directory."""
    path = machine.root / "work"
    path.mkdir()
    return path


def touch(path: Path) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"not really a library")
    return path
