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


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    build_dir = _build_dir(config_settings)
    _build_module(build_dir)
    version = (build_dir / "VERSION").read_text().strip()
    python_dir = _cache_value(build_dir, "VEXA_INSTALL_PYTHONDIR")
    tag = wheel_tag()

    with tempfile.TemporaryDirectory(prefix="corvane-wheel-") as scratch:
        prefix = Path(scratch)
        _run("cmake", "--install", build_dir, "--component", "python", "--prefix", prefix, "--strip")
        root = prefix / python_dir
        payload = sorted(p for p in root.rglob("*") if p.is_file())
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        if not any(p.name == f"Corvane{suffix}" for p in payload):
            found = ", ".join(p.name for p in payload) or "nothing"
            raise BuildError(f"{build_dir} holds no Corvane{suffix} for {sys.executable} (installed: {found})")
        files = [(p.relative_to(root).as_posix(), p.read_bytes(), os.access(p, os.X_OK)) for p in payload]

    name = DISTRIBUTION.lower()
    dist_info = f"{name}-{version}.dist-info"
    metadata = (f"Metadata-Version: 2.1\nName: {DISTRIBUTION}\nVersion: {version}\nSummary: {SUMMARY}\n"
                f"Requires-Python: =={sys.version_info.major}.{sys.version_info.minor}.*\n")
    wheel_info = f"Wheel-Version: 1.0\nGenerator: corvane_build\nRoot-Is-Purelib: false\nTag: {tag}\n"
    filename = f"{name}-{version}-{tag}.whl"
    target = Path(wheel_directory) / filename
    partial = target.with_name(filename + ".part")
    try:
        _write_wheel(partial, files, dist_info, [("METADATA", metadata.encode()), ("WHEEL", wheel_info.encode())])
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
    print(f"corvane_build: wrote {target}", file=sys.stderr, flush=True)
    return filename


def get_requires_for_build_wheel(config_settings=None):
    return []


def build_sdist(sdist_directory, config_settings=None):
    raise BuildError("Corvane is distributed as wheels only; the sources come from the repository")
