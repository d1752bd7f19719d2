"""Installs a wheel into the running interpreter's site-packages as pip does, for an
interpreter whose pip cannot run (pip's platformdirs needs ctypes on Windows).

Checks that the wheel's tags fit this interpreter and every file against the wheel's
RECORD (hash and size), refuses names that leave the target folder, writes the files
into the scheme's platlib (purelib when the wheel says so), and writes INSTALLER and a
RECORD of the installed files. Prints the installed files, one a line.

Usage: python install_wheel.py WHEEL
"""

import base64
import csv
import hashlib
import io
import sys
import sysconfig
import zipfile
from pathlib import Path, PurePosixPath


def digest(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def fail(message):
    sys.exit(f"install_wheel: {message}")


def main(wheel_path):
    wheel = zipfile.ZipFile(wheel_path)
    names = wheel.namelist()
    dist_info = {PurePosixPath(name).parts[0] for name in names if PurePosixPath(name).parts[0].endswith(".dist-info")}
    if len(dist_info) != 1:
        fail(f"{wheel_path} has {len(dist_info)} .dist-info folders")
    (dist_info,) = dist_info
    metadata = dict(line.split(": ", 1) for line in wheel.read(f"{dist_info}/WHEEL").decode().splitlines() if ": " in line)
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    if f"{python}-{python}-{platform}" not in metadata.get("Tag", ""):
        fail(f"{wheel_path} is tagged {metadata.get('Tag')}, not for {python}-{python}-{platform}")

    record_name = f"{dist_info}/RECORD"
    recorded = {row[0]: row[1:] for row in csv.reader(io.StringIO(wheel.read(record_name).decode())) if row}
    if set(recorded) != set(names):
        fail(f"RECORD and the archive list different files: {sorted(set(recorded) ^ set(names))}")
    target = Path(sysconfig.get_paths()["purelib" if metadata.get("Root-Is-Purelib") == "true" else "platlib"])
    installed = []
    for name in names:
        data = wheel.read(name)
        hash_text, size = recorded[name]
        if name != record_name and (hash_text != digest(data) or size != str(len(data))):
            fail(f"{name} does not match its RECORD entry")
        path = (target / name).resolve()
        if target.resolve() not in path.parents:
            fail(f"{name} would leave {target}")
        if name == record_name:
            continue
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        installed.append((name, digest(data), str(len(data))))
    installer = f"{dist_info}/INSTALLER"
    (target / installer).write_bytes(b"vexa-windows-tests\n")
    installed.append((installer, digest(b"vexa-windows-tests\n"), "19"))
    record = io.StringIO()
    csv.writer(record, lineterminator="\n").writerows([*installed, (record_name, "", "")])
    (target / record_name).write_text(record.getvalue(), encoding="utf-8")
    for name, _, _ in installed:
        print(target / name)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        fail("usage: install_wheel.py WHEEL")
    main(sys.argv[1])
