"""The Corvane wheel installs with pip into a fresh venv and works from there.

The wheel is built once for the module from the build tree under test (VEXA_BUILD_DIR):
the build backend finds the module up to date and only packs it.
"""

import csv
import io
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
    shutil.copytree(FRAMEWORK_DIR, install)
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
    assert "Name: Corvane\n" in metadata
    assert f"Version: {version}\n" in metadata
    assert f"Tag: {python}-{python}-{platform}\n" in wheel_info
    assert "Root-Is-Purelib: false\n" in wheel_info


def test_wheel_holds_the_module_and_the_stub_twice(wheel):
    stub = (SOURCE_DIR / "python" / "corvane" / "Corvane.pyi").read_bytes()
    module = "Corvane" + sysconfig.get_config_var("EXT_SUFFIX")
    with zipfile.ZipFile(wheel) as archive:
        names = [n for n in archive.namelist() if ".dist-info/" not in n]
        assert sorted(names) == sorted([module, "Corvane.pyi", "Corvane-stubs/__init__.pyi"])
        assert archive.read("Corvane.pyi") == stub
        assert archive.read("Corvane-stubs/__init__.pyi") == stub
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
"""
    result = run(venv, "-c", program, env=clean_environment(VEXA_PLATFORM_ROOT=str(machine)))
    module_file, json_value, text_value = result.stdout.splitlines()
    site = run(venv, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])").stdout.strip()
    assert Path(module_file).parent == Path(site)
    assert json_value == "installed from the wheel"
    # Every client object has its own values: a fresh one reads the sample's default.
    assert text_value == '"Vexa sample"'


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


def mypy(venv, scratch, name, source):
    script = scratch / name
    script.write_text(source)
    config = scratch / "mypy.ini"
    config.write_text("[mypy]\n")
    return run("/usr/bin/python3", "-m", "mypy", "--python-executable", venv, "--config-file", config,
               "--cache-dir", scratch / "mypy-cache", "--no-error-summary", "--show-error-codes", script,
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
