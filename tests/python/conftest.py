"""Fixtures shared by the Corvane tests.

Every test that constructs a ClientApi or CorvaneJson gets a private machine state:
a fresh directory that VEXA_PLATFORM_ROOT names for the duration of the test, set up
with the vexa-platform tool. ctest passes the paths below through the environment.

The same suites run on Windows (under Wine, scripts/windows-tests.sh). There the
machine is the Windows installation itself: the device is published in its registry
with vexa-wine-machine.exe (VEXA_WINE_MACHINE) for the duration of a test, and the
development root already sits in its Root store; the install directory is private
to the test as on Linux.
"""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

WINDOWS = sys.platform == "win32"
WINE_MACHINE_TOOL = os.environ.get("VEXA_WINE_MACHINE", "")

# The corvane command's and the asyncio client's tests run on Linux only for now: the
# command's tests use POSIX terminals, signals and /proc, and neither file has yet been
# brought to the Windows interpreter.
collect_ignore = ["test_corvane_command.py", "test_corvane_tools_aio.py"] if WINDOWS else []

only_linux_stand_in = pytest.mark.skipif(
    WINDOWS, reason="needs the Linux stand-in's machine state (a private root per process)")

PLATFORM_TOOL = os.environ.get("VEXA_PLATFORM_TOOL", "vexa-platform")
DEV_ROOT_CERT = os.environ.get("VEXA_DEV_ROOT_CERT", "")
FRAMEWORK_DIR = os.environ.get("VEXA_FRAMEWORK_DIR", "")
SCRIPTED_DOUBLE = os.environ.get("VEXA_SCRIPTED_DOUBLE", "")

FRAMEWORK_CLASS = "{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}"
FRAMEWORK_INSTANCE = "SWD\\VexaFramework\\0000"

SIGNATURE_MAGIC = b"~VexaSignature~\n"


def wine_machine(*args):
    """Runs vexa-wine-machine.exe and returns what it printed. The tool names every
    failure on its standard error, so a status without a word there means that Wine
    never reached its main (a CI run once saw vexareg.exe's start end so, with status
    1). Such a start is tried once more and reported as a warning in the run's summary,
    so that each one is counted, never hidden."""
    for attempt in range(2):
        run = subprocess.run([WINE_MACHINE_TOOL, *args], capture_output=True, encoding="utf-8", timeout=120)
        # Wine's own errors do not count as a word of the tool's: a start can fail
        # before main with "err:virtual:virtual_alloc_first_teb wine: failed to map
        # the shared user data".
        said = [line for line in run.stderr.splitlines() if not re.match(r"(?:[0-9a-f]{4,8}:)?err:", line)]
        if run.returncode == 0 or said or attempt == 1:
            break
        warnings.warn(f"Wine did not start vexa-wine-machine.exe {' '.join(args)} (status {run.returncode}); "
                      "started again")
    assert run.returncode == 0, f"vexa-wine-machine.exe {' '.join(args)}: status {run.returncode}: {run.stderr}"
    return run.stdout


def strip_signature(path):
    """Removes the embedded signature, leaving the library unsigned."""
    if WINDOWS:
        strip_authenticode(path)
        return
    data = Path(path).read_bytes()
    assert data.endswith(SIGNATURE_MAGIC), f"{path} carries no signature"
    (length,) = struct.unpack("<Q", data[-24:-16])
    Path(path).write_bytes(data[: len(data) - 24 - length])


def strip_authenticode(path):
    """Cuts the certificate table (Authenticode's signature) off a PE file and clears
    the security directory entry that names it."""
    data = bytearray(Path(path).read_bytes())
    (pe_header,) = struct.unpack_from("<I", data, 0x3C)
    (magic,) = struct.unpack_from("<H", data, pe_header + 24)
    directories = pe_header + 24 + (112 if magic == 0x20B else 96)
    security_entry = directories + 4 * 8
    offset, size = struct.unpack_from("<II", data, security_entry)
    assert size, f"{path} carries no signature"
    struct.pack_into("<II", data, security_entry, 0, 0)
    Path(path).write_bytes(bytes(data[:offset]))


class MachineState:
    """One private machine-state directory and the tool calls that fill it."""

    def __init__(self, root):
        self.root = Path(root)
        self.install_dir = self.root / "fw"
        self.install_dir.mkdir(parents=True, exist_ok=True)

    def tool(self, *args):
        subprocess.run([PLATFORM_TOOL, "--root", str(self.root), *args], check=True,
                       stdout=subprocess.DEVNULL)

    def trust_development_root(self):
        if not WINDOWS:  # on Windows the whole run's Root store holds it
            self.tool("trust", DEV_ROOT_CERT)

    def stage(self, library, name="Tessaly.dll"):
        """Copies a built library into the install directory; returns the copy."""
        target = self.install_dir / name
        shutil.copyfile(library, target)
        return target

    def publish(self):
        """Publishes the framework device with InstallDir naming the install directory."""
        if WINDOWS:
            wine_machine("publish", str(self.install_dir))
            _windows_published.append(self.install_dir)
            return
        self.tool("publish", FRAMEWORK_INSTANCE, "--interface", FRAMEWORK_CLASS,
                  "--value", f"InstallDir={self.install_dir}")

    def library(self, name="Tessaly.dll"):
        return self.install_dir / name

    @classmethod
    def publishing(cls, root, library):
        """A machine state that trusts the development root and publishes the built
        library as Tessaly.dll."""
        machine = cls(root)
        machine.trust_development_root()
        machine.stage(library)
        machine.publish()
        return machine


class ScriptedMachine(MachineState):
    """A machine state whose Tessaly.dll is the scripted test double.

    The double reads script.json beside itself on every call and appends one JSON
    line per call to journal.jsonl beside itself.

    A script maps an operation name (Create, GetProperties, GetValue, GetNode,
    GetSchema, ExecuteCommand, QueryNode, RegisterEvent, UnregisterEvent, SetValue)
    to what that operation does:
      {"result": TEXT}            return TEXT
      {"result_hex": HEX}         return the bytes HEX (for texts that are not UTF-8)
      {"throw": CLASS, "message": TEXT} (or "message_hex": HEX)
                                  throw a family member by class name, or one of
                                  "runtime_error", "logic_error", "exception",
                                  "json_error", "int"
      {"block_until": PATH}       wait until the file PATH exists, then go on
      {"null": true}              (Create only) return no interface object
    Without a script entry an operation returns its own journal entry as JSON text.
    """

    @property
    def script_path(self):
        return self.install_dir / "script.json"

    @property
    def journal_path(self):
        return self.install_dir / "journal.jsonl"

    def script(self, **operations):
        tmp = self.script_path.with_suffix(".tmp")
        tmp.write_text(json.dumps(operations))
        tmp.replace(self.script_path)

    def journal(self):
        """Every recorded call, oldest first, as dicts {"op", "args"[, "overload"]}."""
        if not self.journal_path.exists():
            return []
        with open(self.journal_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def calls(self, op):
        return [entry for entry in self.journal() if entry["op"] == op]


@pytest.fixture
def empty_machine(tmp_path, monkeypatch):
    """A machine state with nothing published and nothing trusted."""
    machine = MachineState(tmp_path / "machine")
    monkeypatch.setenv("VEXA_PLATFORM_ROOT", str(machine.root))
    return machine


@pytest.fixture
def framework_machine(tmp_path, monkeypatch):
    """A machine state with the sample framework's signed Tessaly.dll published."""
    machine = MachineState(tmp_path / "machine")
    machine.trust_development_root()
    machine.stage(Path(FRAMEWORK_DIR) / "Tessaly.dll")
    machine.publish()
    monkeypatch.setenv("VEXA_PLATFORM_ROOT", str(machine.root))
    return machine


@pytest.fixture
def double_machine(tmp_path, monkeypatch):
    """A machine state with the signed scripted double published as Tessaly.dll."""
    machine = ScriptedMachine(tmp_path / "machine")
    machine.trust_development_root()
    machine.stage(SCRIPTED_DOUBLE)
    machine.publish()
    monkeypatch.setenv("VEXA_PLATFORM_ROOT", str(machine.root))
    return machine


_windows_published = []


@pytest.fixture(autouse=True)
def windows_machine_withdrawn():
    """On Windows, no test leaves the framework published for the next one."""
    yield
    if _windows_published:
        _windows_published.clear()
        wine_machine("remove")


def mapped_file(name):
    """The file a mapping of /proc/self/maps comes from. A library is mapped from a sealed
    snapshot of its file, an anonymous file named after it ("/memfd:<path> (deleted)")."""
    if name.startswith("/memfd:") and name.endswith(" (deleted)"):
        return name[len("/memfd:"):-len(" (deleted)")]
    return name


def loaded_libraries():
    """Paths of the shared objects mapped into this process."""
    if WINDOWS:
        return set(wine_machine("modules", str(os.getpid())).splitlines())
    with open("/proc/self/maps", encoding="utf-8") as maps:
        return {mapped_file(line.split(None, 5)[5].strip()) for line in maps if len(line.split(None, 5)) == 6}


def library_loaded(name):
    """Whether a library of that file name is loaded in this process."""
    return any(Path(path).name.lower() == name.lower() for path in loaded_libraries())


def tessaly_loaded():
    return library_loaded("Tessaly.dll")
