"""Prepares an unpacked CPython source tree for the MinGW-w64 build of Makefile.

Run by windows-python.sh with Debian's python3.11, whose version is the source's:
frozen and deep-frozen modules hold that interpreter's bytecode and object layout.

- freezes every module that Makefile.pre.in freezes, with Programs/_freeze_module.py,
  the source's own freezer for builds that cannot run the interpreter they build;
- deep-freezes the modules that Makefile.pre.in deep-freezes, with
  Tools/scripts/deepfreeze.py;
- writes sources.mk: the C files of the Windows core as PCbuild/pythoncore.vcxproj
  names them, and the table of built-in modules comes with them (PC/config.c).

Usage: prepare.py SOURCE_DIR
"""

import re
import subprocess
import sys
from pathlib import Path

source = Path(sys.argv[1])
makefile = (source / "Makefile.pre.in").read_text()

# "$(FREEZE_MODULE...) NAME $(srcdir)/PATH Python/frozen_modules/NAME.h"
frozen = re.findall(r"^\t\$\(FREEZE_MODULE\w*\) (\S+) \$\(srcdir\)/(\S+) (Python/frozen_modules/\S+\.h)$",
                    makefile, re.M)
if not frozen:
    sys.exit("prepare.py: no frozen modules found in Makefile.pre.in")
for name, script, header in frozen:
    subprocess.run([sys.executable, "Programs/_freeze_module.py", name, script, header], cwd=source, check=True)

rule = re.search(r"^Python/deepfreeze/deepfreeze\.c:.*?\n((?:\t.*\\\n)*\t.*)$", makefile, re.M)
if not rule:
    sys.exit("prepare.py: no deepfreeze rule in Makefile.pre.in")
deep = re.findall(r"(Python/frozen_modules/\S+\.h:\S+)", rule.group(1))
subprocess.run([sys.executable, "Tools/scripts/deepfreeze.py", *deep, "-o", "Python/deepfreeze/deepfreeze.c"],
               cwd=source, check=True)

# The core's C files; zlib's own sources are not part of the tarball (the build links
# the MinGW zlib instead), and getpath.c, which needs defines of its own, is listed apart.
project = (source / "PCbuild/pythoncore.vcxproj").read_text()
files = [f.replace("\\", "/").removeprefix("../")
         for f in re.findall(r'<ClCompile Include="([^"]+\.c)"', project)]
core = [f for f in files if not f.startswith("$(") and f != "Modules/getpath.c"]
if "Modules/getpath.c" not in files or "PC/config.c" not in core:
    sys.exit("prepare.py: pythoncore.vcxproj does not list the files expected")
(source / "sources.mk").write_text("CORE_SOURCES = \\\n" + " \\\n".join(f"\t{f}" for f in core) + "\n")
print(f"prepare.py: {len(frozen)} modules frozen, {len(deep)} deep-frozen, {len(core) + 1} core sources")
