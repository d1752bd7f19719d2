"""The Windows build's Corvane.pyd, inspected, and its win_amd64 wheel.

These tests read its PE headers (MinGW objdump) and check that it is a module for
64-bit CPython 3.11 that needs nothing beyond python311.dll and the DLLs of Windows
itself; scripts/windows-tests.sh then imports it into the Windows interpreter built
here and runs the module's suites there.
"""

import base64
import csv
import hashlib
import io
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

BUILD = Path(os.environ["VEXA_MINGW_BUILD"])
MODULE = BUILD / "python" / "Corvane.pyd"
# The DLLs of a fresh Windows installation: the prefix's system32 after wineboot.
SYSTEM32 = Path(os.environ["WINEPREFIX"]) / "drive_c" / "windows" / "system32"
LINUX_LIBPYTHON = "/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0"
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python" / "build_backend"))
import corvane_build  # noqa: E402


def private_headers(path):
    return subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(path)], check=True,
                          capture_output=True, text=True).stdout


def exports(headers):
    table = headers.split("[Ordinal/Name Pointer] Table", 1)
    return re.findall(r"^\s*\[\s*\d+\] (\S+)$", table[1], re.M) if len(table) == 2 else []


def imports(headers):
    return re.findall(r"^\s*DLL Name: (\S+)$", headers, re.M)


def test_module_is_a_64_bit_windows_dll():
    headers = private_headers(MODULE)
    assert re.search(r"file format pei-x86-64", headers), headers[:200]
    assert re.search(r"^Characteristics .*\n(?:\s+.*\n)*?\s+DLL$", headers, re.M), "not a DLL"


def test_exports_only_the_init_entry():
    names = exports(private_headers(MODULE))
    print("Corvane.pyd exports:", ", ".join(names))
    assert names == ["PyInit_Corvane"]


def test_imports_python311_and_windows_dlls_only():
    names = imports(private_headers(MODULE))
    print("Corvane.pyd imports:", ", ".join(names))
    system = {path.name.lower() for path in SYSTEM32.iterdir()}
    assert "python311.dll" in names
    others = [name for name in names if name != "python311.dll"]
    # The MinGW runtimes (libstdc++-6, libgcc_s_seh-1, libwinpthread-1) are linked in.
    assert [name for name in others if name.lower().startswith("lib")] == []
    assert [name for name in others if name.lower() not in system] == []


def test_python_names_are_those_of_cpython_3_11():
    """The .def behind the import library lists names taken from the module's objects;
    the same CPython release built for this machine exports every one of them, so none
    is a name that python311.dll could lack (a Windows-only name would show here too)."""
    # The module's own, not the test probe's, which the build makes beside it.
    [definition] = BUILD.glob("**/Corvane-python-import/python311.def")
    lines = definition.read_text().splitlines()
    assert lines[:2] == ["LIBRARY python311.dll", "EXPORTS"]
    names = [line.strip() for line in lines[2:]]
    assert "PyModule_Create2" in names or "PyModule_Create2TraceRefs" in names
    linux = subprocess.run(["nm", "-D", "--defined-only", "--format=posix", LINUX_LIBPYTHON], check=True,
                           capture_output=True, text=True).stdout
    exported = {line.split()[0] for line in linux.splitlines() if line.strip()}
    assert [name for name in names if name not in exported] == []


def test_version_check_is_for_3_11():
    # The compiled-for text of the import-time check comes from the headers' version.
    data = MODULE.read_bytes()
    assert b"\x003.11\x00" in data
    assert b"\x003.10\x00" not in data and b"\x003.12\x00" not in data


def record_hash(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel as scripts/package.sh makes it, from the build tree under test."""
    directory = tmp_path_factory.mktemp("wheel")
    return directory / corvane_build.build_windows_wheel(BUILD, directory)


def test_windows_wheel(wheel, tmp_path):
    name = wheel.name
    version = (BUILD / "VERSION").read_text().strip()
    assert name == f"corvane-{version}-cp311-cp311-win_amd64.whl"
    dist_info = f"corvane-{version}.dist-info"
    with zipfile.ZipFile(wheel) as archive:
        files = {info.filename: archive.read(info) for info in archive.infolist()}
    source = Path(__file__).resolve().parents[2]
    tools = sorted(f"corvane_tools/{p.name}" for p in (source / "python" / "corvane_tools").iterdir()
                   if p.is_file() and p.name != "CMakeLists.txt")
    assert "corvane_tools/py.typed" in tools and "corvane_tools/cli.py" in tools
    assert sorted(files) == sorted(["Corvane.pyd", "Corvane.pyi", "Corvane-stubs/__init__.pyi", *tools,
                                    f"{dist_info}/METADATA", f"{dist_info}/WHEEL", f"{dist_info}/RECORD",
                                    f"{dist_info}/entry_points.txt", f"{dist_info}/LICENSE"])
    for name in tools:
        assert files[name] == (source / "python" / name).read_bytes(), name
    assert files[f"{dist_info}/LICENSE"] == (source / "LICENSE").read_bytes()
    assert files[f"{dist_info}/entry_points.txt"] == b"[console_scripts]\ncorvane = corvane_tools.cli:main\n"
    wheel_info = files[f"{dist_info}/WHEEL"].decode().splitlines()
    assert "Tag: cp311-cp311-win_amd64" in wheel_info and "Root-Is-Purelib: false" in wheel_info
    metadata = files[f"{dist_info}/METADATA"].decode().splitlines()
    for field in ("Requires-Python: ==3.11.*", "License: Apache-2.0", "License-File: LICENSE",
                  "Classifier: Operating System :: Microsoft :: Windows",
                  "Classifier: Programming Language :: Python :: 3.11", "Classifier: Typing :: Typed"):
        assert field in metadata, field
    assert not any("POSIX" in line for line in metadata)
    rows = list(csv.reader(io.StringIO(files[f"{dist_info}/RECORD"].decode())))
    assert sorted(row[0] for row in rows) == sorted(files)
    for path, digest, size in rows:
        if path == f"{dist_info}/RECORD":
            assert (digest, size) == ("", "")
        else:
            assert (digest, size) == (record_hash(files[path]), str(len(files[path]))), path
    assert exports(private_headers_of_bytes(tmp_path, files["Corvane.pyd"])) == ["PyInit_Corvane"]
    assert files["Corvane.pyi"] == files["Corvane-stubs/__init__.pyi"]


def private_headers_of_bytes(directory, data):
    path = directory / "unpacked.pyd"
    path.write_bytes(data)
    return private_headers(path)


@pytest.mark.parametrize("platform, accepted", [("win_amd64", True), ("linux_x86_64", False)])
def test_pip_takes_the_wheel_for_windows_only(wheel, tmp_path, platform, accepted):
    """pip's own reading of the tags: installable for 64-bit Windows CPython 3.11 only."""
    completed = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-index", "--no-deps", "--disable-pip-version-check",
         "--only-binary=:all:", "--platform", platform, "--python-version", "3.11", "--implementation", "cp",
         "--target", str(tmp_path / "target"), str(wheel)],
        capture_output=True, text=True)
    assert (completed.returncode == 0) == accepted, completed
    if accepted:
        assert (tmp_path / "target" / "Corvane.pyd").is_file()
        assert (tmp_path / "target" / "corvane_tools" / "py.typed").is_file()
