"""Build backend (PEP 517) of the Corvane wheel.

It drives the CMake build of this tree: it configures a build tree (or reuses one that
is already configured), builds the Corvane module alone, installs the CMake component
"python" into a scratch prefix and packs what was installed into a wheel for the
interpreter that runs the backend. The version comes from the build tree's VERSION
file, which CMake writes from project(VERSION).

The wheel holds:
    Corvane.cpython-3XY-....so      the module
    Corvane.pyi                     its stub beside it, for editors
    Corvane-stubs/__init__.pyi      the same stub as a stub-only package: type checkers
                                    take an installed single-file module's types from
                                    there (a py.typed marker would need a package)
    corvane_tools/                  the asyncio client and the corvane command, typed
                                    (py.typed)
and in its .dist-info the project's LICENSE and the console script "corvane".

The same packing makes the win_amd64 wheel of the Windows build (Corvane.pyd in place of
the .so), which no interpreter here can build through pip:
    python3 corvane_build.py windows-wheel BUILD_DIR WHEEL_DIR

Settings (pip: --config-settings KEY=VALUE; build: -C KEY=VALUE), or the environment:
    build-dir  / VEXA_BUILD_DIR   the CMake build tree to use; default build/wheel
"""

import base64
import csv
import hashlib
import io
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
import time
import zipfile
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
DISTRIBUTION = "Corvane"
SUMMARY = "Python client of the Vexa framework: values, schemas, commands, queries and events"
LICENSE_NAME = "Apache-2.0"
LICENSE_FILE = SOURCE_DIR / "LICENSE"
# The pure-Python package beside the module, which the console script runs.
TOOLS_PACKAGE = "corvane_tools/__init__.py"
CONSOLE_SCRIPTS = {"corvane": "corvane_tools.cli:main"}
PLATFORM_CLASSIFIERS = {"linux": "Operating System :: POSIX :: Linux",
                        "win": "Operating System :: Microsoft :: Windows"}


class BuildError(RuntimeError):
    pass


def _run(*command):
    print("corvane_build:", " ".join(str(part) for part in command), file=sys.stderr, flush=True)
    result = subprocess.run([str(part) for part in command], stdout=sys.stderr, stderr=sys.stderr)
    if result.returncode != 0:
        raise BuildError(f"{command[0]} failed with exit status {result.returncode}")


def _cache_value(build_dir, name):
    pattern = re.compile(rf"^{re.escape(name)}:[A-Z]+=(.*)$")
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        match = pattern.match(line)
        if match:
            return match.group(1)
    raise BuildError(f"{name} is not set in {build_dir / 'CMakeCache.txt'}")


def _build_dir(config_settings):
    chosen = (config_settings or {}).get("build-dir") or os.environ.get("VEXA_BUILD_DIR")
    return Path(chosen).resolve() if chosen else SOURCE_DIR / "build" / "wheel"


def _build_module(build_dir):
    if not (build_dir / "CMakeCache.txt").is_file():
        _run("cmake", "-S", SOURCE_DIR, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
             f"-DPython3_EXECUTABLE={sys.executable}")
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(min(os.cpu_count() or 1, 2))
    _run("cmake", "--build", build_dir, "--target", "Corvane", "--parallel", jobs)


def wheel_tag():
    """The tag of the interpreter that runs the backend, e.g. cp311-cp311-linux_x86_64."""
    if sys.implementation.name != "cpython":
        raise BuildError("the Corvane module is built for CPython only")
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{python}-{python}-{platform}"


def _record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"sha256={digest}"


def _zip_time():
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))
    return time.gmtime(max(epoch, 315532800))[:6]


def _write_wheel(path, files, dist_info, metadata_files):
    """files: (archive name, bytes, executable) of the payload; dist_info files last."""
    records = []
    stamp = _zip_time()
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        def add(name, data, executable=False):
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.external_attr = (0o755 if executable else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
            records.append((name, _record_hash(data), str(len(data))))

        for name, data, executable in files:
            add(name, data, executable)
        for name, data in metadata_files:
            add(f"{dist_info}/{name}", data)
        record = io.StringIO()
        writer = csv.writer(record, lineterminator="\n")
        writer.writerows(records)
        writer.writerow((f"{dist_info}/RECORD", "", ""))
        add(f"{dist_info}/RECORD", record.getvalue().encode())


def _installed_python_component(build_dir, scratch):
    """(archive name, bytes, executable) of each file of the build tree's component
    "python", installed stripped into the scratch directory."""
    prefix = Path(scratch)
    _run("cmake", "--install", build_dir, "--component", "python", "--prefix", prefix, "--strip")
    root = prefix / _cache_value(build_dir, "VEXA_INSTALL_PYTHONDIR")
    payload = sorted(p for p in root.rglob("*") if p.is_file())
    return [(p.relative_to(root).as_posix(), p.read_bytes(), os.access(p, os.X_OK)) for p in payload]


def _metadata(version, python_version, tag):
    platform = next(text for prefix, text in PLATFORM_CLASSIFIERS.items() if tag.split("-")[2].startswith(prefix))
    classifiers = ["Development Status :: 3 - Alpha", "Environment :: Console", "Framework :: AsyncIO",
                   "Intended Audience :: Developers", "License :: OSI Approved :: Apache Software License",
                   platform, "Programming Language :: C++", "Programming Language :: Python :: 3",
                   f"Programming Language :: Python :: {python_version}",
                   "Programming Language :: Python :: Implementation :: CPython", "Typing :: Typed"]
    lines = ["Metadata-Version: 2.1", f"Name: {DISTRIBUTION}", f"Version: {version}", f"Summary: {SUMMARY}",
             f"License: {LICENSE_NAME}", f"License-File: {LICENSE_FILE.name}",
             *(f"Classifier: {classifier}" for classifier in classifiers),
             f"Requires-Python: =={python_version}.*"]
    return "\n".join(lines) + "\n"


def pack_wheel(wheel_directory, files, version, tag, python_version):
    """Writes the Corvane wheel of the given files for the tag (e.g. cp311-cp311-win_amd64)
    and interpreter version ("3.11"); gives the file name."""
    name = DISTRIBUTION.lower()
    dist_info = f"{name}-{version}.dist-info"
    wheel_info = f"Wheel-Version: 1.0\nGenerator: corvane_build\nRoot-Is-Purelib: false\nTag: {tag}\n"
    entry_points = "[console_scripts]\n" + "".join(f"{k} = {v}\n" for k, v in CONSOLE_SCRIPTS.items())
    filename = f"{name}-{version}-{tag}.whl"
    target = Path(wheel_directory) / filename
    partial = target.with_name(filename + ".part")
    try:
        _write_wheel(partial, files, dist_info,
                     [("METADATA", _metadata(version, python_version, tag).encode()),
                      ("WHEEL", wheel_info.encode()), ("entry_points.txt", entry_points.encode()),
                      (LICENSE_FILE.name, LICENSE_FILE.read_bytes())])
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
    print(f"corvane_build: wrote {target}", file=sys.stderr, flush=True)
    return filename


def _require_module(files, module, build_dir, python):
    if not any(name == module for name, _, _ in files):
        found = ", ".join(name for name, _, _ in files) or "nothing"
        raise BuildError(f"{build_dir} holds no {module} for {python} (installed: {found})")


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    build_dir = _build_dir(config_settings)
    _build_module(build_dir)
    with tempfile.TemporaryDirectory(prefix="corvane-wheel-") as scratch:
        files = _installed_python_component(build_dir, scratch)
    _require_module(files, f"Corvane{sysconfig.get_config_var('EXT_SUFFIX')}", build_dir, sys.executable)
    _require_module(files, TOOLS_PACKAGE, build_dir, sys.executable)
    return pack_wheel(wheel_directory, files, (build_dir / "VERSION").read_text().strip(), wheel_tag(),
                      f"{sys.version_info.major}.{sys.version_info.minor}")


def build_windows_wheel(build_dir, wheel_directory):
    """The win_amd64 wheel of the Windows build tree's Corvane.pyd (built beforehand): no
    Windows interpreter runs here, so the tag comes from the Python the tree was
    configured for (VEXA_WINDOWS_PYTHON_VERSION)."""
    build_dir = Path(build_dir).resolve()
    python_version = _cache_value(build_dir, "VEXA_WINDOWS_PYTHON_VERSION")
    python = "cp" + python_version.replace(".", "")
    with tempfile.TemporaryDirectory(prefix="corvane-wheel-") as scratch:
        files = _installed_python_component(build_dir, scratch)
    _require_module(files, "Corvane.pyd", build_dir, f"Windows CPython {python_version}")
    _require_module(files, TOOLS_PACKAGE, build_dir, f"Windows CPython {python_version}")
    return pack_wheel(wheel_directory, files, (build_dir / "VERSION").read_text().strip(),
                      f"{python}-{python}-win_amd64", python_version)


def get_requires_for_build_wheel(config_settings=None):
    return []


def build_sdist(sdist_directory, config_settings=None):
    raise BuildError("Corvane is distributed as wheels only; the sources come from the repository")


if __name__ == "__main__":
    # python3 corvane_build.py windows-wheel BUILD_DIR WHEEL_DIR
    if len(sys.argv) != 4 or sys.argv[1] != "windows-wheel":
        sys.exit("usage: corvane_build.py windows-wheel BUILD_DIR WHEEL_DIR")
    try:
        print(build_windows_wheel(sys.argv[2], sys.argv[3]))
    except BuildError as error:
        sys.exit(f"corvane_build: {error}")
