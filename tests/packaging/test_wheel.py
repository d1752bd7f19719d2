"""The Corvane wheel installs with pip into a fresh venv and works from there.

The wheel is built once for the module from the build tree under test (VEXA_BUILD_DIR):
the build backend finds the module up to date and only packs it.
"""

import csv
import io
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

SOURCE_DIR = Path(os.environ["VEXA_SOURCE_DIR"])
BUILD_DIR = Path(os.environ["VEXA_BUILD_DIR"])
PLATFORM_TOOL = os.environ["VEXA_PLATFORM_TOOL"]
DEV_ROOT_CERT = os.environ["VEXA_DEV_ROOT_CERT"]
FRAMEWORK_DIR = Path(os.environ["VEXA_FRAMEWORK_DIR"])

FRAMEWORK_CLASS = "{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}"
FRAMEWORK_INSTANCE = "SWD\\VexaFramework\\0000"


def clean_environment(**extra):
    """The environment without anything that would point Python at the build tree."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "PYTHONUSERBASE", "MYPYPATH")}
    env.update(extra)
    return env


def run(*command, env=None, cwd=None, check=True):
    result = subprocess.run([str(part) for part in command], env=env or clean_environment(), cwd=cwd,
                            capture_output=True, text=True)
    if check and result.returncode != 0:
        pytest.fail(f"{' '.join(map(str, command))} exited with {result.returncode}:\n"
                    f"{result.stdout}\n{result.stderr}")
    return result


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("wheel")


@pytest.fixture(scope="module")
def wheel(scratch):
    out = scratch / "dist"
    run("/usr/bin/python3", "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
        "--disable-pip-version-check", "--wheel-dir", out, SOURCE_DIR,
        env=clean_environment(VEXA_BUILD_DIR=str(BUILD_DIR)))
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def venv(scratch, wheel):
    """A fresh venv of Debian's interpreter, without system site-packages, with the wheel."""
    home = scratch / "venv"
    run("/usr/bin/python3", "-m", "venv", home)
    python = home / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-index", "--disable-pip-version-check", wheel)
    return python


@pytest.fixture(scope="module")
def machine(scratch):
    """A machine state with a private copy of the sample framework published in it."""
    root = scratch / "machine"
    install = scratch / "framework"
    # The libraries only: a catalog or settings the build tree's copy may hold are not this machine's.
    shutil.copytree(FRAMEWORK_DIR, install, ignore=shutil.ignore_patterns("*.json", "*.lock"))
    for command in (["publish", FRAMEWORK_INSTANCE, "--interface", FRAMEWORK_CLASS,
                     "--value", f"InstallDir={install}"],
                    ["trust", DEV_ROOT_CERT]):
        run(PLATFORM_TOOL, "--root", root, *command)
    return root


def test_wheel_name_version_and_tag(wheel):
    version = (BUILD_DIR / "VERSION").read_text().strip()
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    assert wheel.name == f"corvane-{version}-{python}-{python}-{platform}.whl"
    with zipfile.ZipFile(wheel) as archive:
        metadata = archive.read(f"corvane-{version}.dist-info/METADATA").decode()
        wheel_info = archive.read(f"corvane-{version}.dist-info/WHEEL").decode()
        entry_points = archive.read(f"corvane-{version}.dist-info/entry_points.txt").decode()
        licence = archive.read(f"corvane-{version}.dist-info/LICENSE")
    assert "Name: Corvane\n" in metadata
    assert f"Version: {version}\n" in metadata
    for field in ("Summary: Python client of the Vexa framework", "License: Apache-2.0\n", "License-File: LICENSE\n",
                  f"Requires-Python: =={sys.version_info.major}.{sys.version_info.minor}.*\n",
                  "Classifier: License :: OSI Approved :: Apache Software License\n",
                  "Classifier: Operating System :: POSIX :: Linux\n",
                  f"Classifier: Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}\n",
                  "Classifier: Typing :: Typed\n"):
        assert field in metadata, field
    assert entry_points == "[console_scripts]\ncorvane = corvane_tools.cli:main\n"
    assert licence == (SOURCE_DIR / "LICENSE").read_bytes()
    assert licence == Path("/usr/share/common-licenses/Apache-2.0").read_bytes()
    assert f"Tag: {python}-{python}-{platform}\n" in wheel_info
    assert "Root-Is-Purelib: false\n" in wheel_info


TOOLS_FILES = sorted(p.name for p in (SOURCE_DIR / "python" / "corvane_tools").iterdir()
                     if p.is_file() and p.name != "CMakeLists.txt")


def test_wheel_holds_the_module_the_stub_twice_and_the_tools_package(wheel):
    stub = (SOURCE_DIR / "python" / "corvane" / "Corvane.pyi").read_bytes()
    module = "Corvane" + sysconfig.get_config_var("EXT_SUFFIX")
    tools = [f"corvane_tools/{name}" for name in TOOLS_FILES]
    assert "corvane_tools/py.typed" in tools and "corvane_tools/__init__.py" in tools
    with zipfile.ZipFile(wheel) as archive:
        names = [n for n in archive.namelist() if ".dist-info/" not in n]
        assert sorted(names) == sorted([module, "Corvane.pyi", "Corvane-stubs/__init__.pyi", *tools])
        assert archive.read("Corvane.pyi") == stub
        assert archive.read("Corvane-stubs/__init__.pyi") == stub
        for name in tools:
            assert archive.read(name) == (SOURCE_DIR / "python" / name).read_bytes(), name
        record_name = next(n for n in archive.namelist() if n.endswith(".dist-info/RECORD"))
        recorded = {row[0] for row in csv.reader(io.StringIO(archive.read(record_name).decode()))}
        assert recorded == set(archive.namelist())


def test_import_in_the_venv_works_against_the_published_framework(venv, machine):
    program = """
import sys, sysconfig
import Corvane
assert sys.prefix != sys.base_prefix, "not in the venv"
assert "/usr/lib/python3/dist-packages" not in sys.path, sys.path
print(Corvane.__file__)
client = Corvane.CorvaneJson()
client.SetValue("settings.label", "installed from the wheel")
print(client.GetValue("settings.label"))
print(Corvane.ClientApi().GetValue("settings.label"))
client.ExecuteCommand("settings.reset", {})
"""
    result = run(venv, "-c", program, env=clean_environment(VEXA_PLATFORM_ROOT=str(machine)))
    module_file, json_value, text_value = result.stdout.splitlines()
    site = run(venv, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])").stdout.strip()
    assert Path(module_file).parent == Path(site)
    assert json_value == "installed from the wheel"
    # Settings are the machine's: a fresh client reads what the first one wrote.
    assert text_value == '"installed from the wheel"'


def test_import_in_the_venv_raises_without_a_framework(venv, scratch):
    program = """
import Corvane
try:
    Corvane.ClientApi()
except Corvane.VexaException as error:
    print("refused:", error)
"""
    result = run(venv, "-c", program, env=clean_environment(VEXA_PLATFORM_ROOT=str(scratch / "no-machine")))
    assert result.stdout.startswith("refused: ")


def mypy(venv, scratch, name, source, *options):
    script = scratch / name
    script.write_text(source)
    config = scratch / "mypy.ini"
    config.write_text("[mypy]\n")
    return run("/usr/bin/python3", "-m", "mypy", "--python-executable", venv, "--config-file", config,
               "--cache-dir", scratch / "mypy-cache", "--no-error-summary", "--show-error-codes", *options, script,
               cwd=scratch, check=False)


def test_mypy_finds_the_stub_in_the_venv(venv, scratch):
    result = mypy(venv, scratch, "uses_corvane.py",
                  "import Corvane\n"
                  "label: str = Corvane.ClientApi().GetValue('settings.label')\n"
                  "kind: Corvane.SchemaType = Corvane.DATA\n")
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_reports_a_misused_return_type(venv, scratch):
    result = mypy(venv, scratch, "misuses_corvane.py",
                  "import Corvane\n"
                  "count: int = Corvane.ClientApi().GetValue('settings.label')\n")
    assert result.returncode == 1, result.stdout + result.stderr
    assert result.stdout.splitlines() == [
        'misuses_corvane.py:2: error: Incompatible types in assignment '
        '(expression has type "str", variable has type "int")  [assignment]']


def test_pip_show_names_the_summary_and_the_licence(venv):
    shown = run(venv, "-m", "pip", "show", "--disable-pip-version-check", "corvane").stdout.splitlines()
    assert "Summary: Python client of the Vexa framework: values, schemas, commands, queries and events" in shown
    assert "License: Apache-2.0" in shown


def corvane_command(venv, machine, *args):
    """The console script that pip installed into the venv."""
    return run(venv.parent / "corvane", *args, env=clean_environment(VEXA_PLATFORM_ROOT=str(machine)), check=False)


def test_the_console_script_reads_and_watches_from_the_venv(venv, machine):
    got = corvane_command(venv, machine, "get", "settings")
    assert (got.returncode, got.stderr) == (0, ""), got
    assert json.loads(got.stdout)["label"] == "Vexa sample"
    watched = corvane_command(venv, machine, "--config", '{"interval_ms": 20}', "watch", "sensors.temperature",
                              "--count", "3")
    assert (watched.returncode, watched.stderr) == (0, ""), watched
    lines = [json.loads(line) for line in watched.stdout.splitlines()]
    assert [(line["source"], list(line["payload"])) for line in lines] == [("sensors", ["temperature"])] * 3


@pytest.mark.parametrize("args, status, stderr_start", [
    (["get", "no.such.path"], 1, "ProviderNotFoundException: "),
    (["--no-such-option"], 2, "usage: corvane"),
])
def test_the_console_script_exit_statuses(venv, machine, args, status, stderr_start):
    result = corvane_command(venv, machine, *args)
    assert (result.returncode, result.stdout) == (status, ""), result
    assert result.stderr.startswith(stderr_start), result.stderr


def test_a_script_using_the_async_client_and_the_command_is_strictly_typed_and_runs(venv, scratch, machine):
    result = mypy(venv, scratch, "uses_corvane_tools.py", USES_CORVANE_TOOLS, "--strict")
    assert result.returncode == 0, result.stdout + result.stderr
    ran = run(venv, scratch / "uses_corvane_tools.py", env=clean_environment(VEXA_PLATFORM_ROOT=str(machine)))
    assert ran.stdout.count("SENSORS") == 3, ran.stdout


def test_mypy_strict_reports_a_misused_notification(venv, scratch):
    result = mypy(venv, scratch, "misuses_corvane_tools.py",
                  "from corvane_tools import Notification\n"
                  "def source(n: Notification) -> int:\n"
                  "    return n.source\n", "--strict")
    assert result.returncode == 1, result.stdout + result.stderr
    assert "Incompatible return value type (got \"str\", expected \"int\")" in result.stdout


USES_CORVANE_TOOLS = """\
import asyncio
import sys

import Corvane
from corvane_tools import AsyncClient, Notification, Overflow
from corvane_tools.cli import main as corvane_main


async def watch(count: int) -> list[Notification]:
    received: list[Notification] = []
    async with AsyncClient({"interval_ms": 20}) as client:
        settings = await client.GetValue("settings")
        print(settings, await client.GetSchema("settings", Corvane.DATA))
        await client.SetValue("settings.label", "typed")
        echoed = await client.ExecuteCommand("diagnostics.echo", {"a": [1, 2.5]})
        print(echoed)
        async with client.subscribe("sensors.temperature", context="lab", maxsize=10,
                                    overflow=Overflow.DROP_NEWEST) as notifications:
            async for source, payload, context in notifications:
                print(source.upper(), payload, context)
                received.append(Notification(source, payload, context))
                if len(received) == count:
                    break
            dropped: int = notifications.overflowed
            print(dropped)
    return received


if __name__ == "__main__":
    asyncio.run(watch(3))
    status: int = corvane_main(["get", "settings"])
    sys.exit(status)
"""
