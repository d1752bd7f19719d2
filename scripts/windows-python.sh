#!/usr/bin/env bash
# Builds CPython 3.11 for 64-bit Windows with Debian's MinGW-w64 from the source that
# the Corvane module's headers come from (cpython-source.sh), and prints the directory
# of the installation: python.exe, python311.dll, DLLs/ (extension modules) and Lib/
# (the standard library, with site-packages), laid out as a Windows installation is.
#
# Frozen and deep-frozen modules are made by Debian's python3.11, which must be of the
# source's version: their bytecode and objects are that interpreter's. The MinGW
# changes to the source are the patch files in windows-python/patches.
#
# The installation is kept in $VEXA_CACHE_DIR/windows-python (default /var/cache/vexa)
# under the source's version and a hash of this script, the Makefile, prepare.py and the
# patches; a run that finds it builds nothing.
# Usage: scripts/windows-python.sh     (progress on stderr, the directory on stdout)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${VEXA_CACHE_DIR:-/var/cache/vexa}
build_python=/usr/bin/python3.11

tarball=$(bash "$here/cpython-source.sh" "$cache/cpython-source")
top=$(tar -tf "$tarball" | sed -n '1s,/.*,,p')
source_version=${top#Python-}
[ -x "$build_python" ] || { echo "windows-python: no $build_python to freeze the modules with" >&2; exit 1; }
build_version=$("$build_python" -c 'import platform; print(platform.python_version())')
if [ "$build_version" != "$source_version" ]; then
    echo "windows-python: the source is CPython $source_version but $build_python is $build_version;" \
         "frozen modules must be made by the same version, so nothing is built" >&2
    exit 1
fi

key=$(cat "$here/windows-python.sh" "$here/windows-python/Makefile" "$here/windows-python/prepare.py" \
          "$here"/windows-python/patches/*.patch | sha256sum | cut -c1-16)
prefix=$cache/windows-python/$source_version-$key
if [ -f "$prefix/.complete" ]; then
    echo "windows-python: CPython $source_version for Windows kept in $prefix" >&2
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/windows-python.XXXXXX")
trap 'rm -rf "$work"' EXIT
started=$SECONDS
tar -xf "$tarball" -C "$work"
src=$work/$top
for patch in "$here"/windows-python/patches/*.patch; do
    patch -s -p1 -d "$src" <"$patch"
done
(cd "$src" && "$build_python" "$here/windows-python/prepare.py" .) >&2
rm -rf "$prefix"
nice -n 10 make -s -C "$src" -f "$here/windows-python/Makefile" -j "${VEXA_JOBS:-2}" PREFIX="$prefix" install >&2

# The standard library as an installation has it: without the test suite and the
# graphical tools, whose modules need what is not built here (Tk).
cp -r "$src/Lib/." "$prefix/Lib/"
rm -rf "$prefix"/Lib/{test,idlelib,tkinter,turtledemo,turtle.py}
find "$prefix/Lib" -name __pycache__ -prune -exec rm -rf {} +
echo "CPython $source_version for Windows (MinGW-w64) from $(basename "$tarball")" >"$prefix/.complete"
echo "windows-python: built CPython $source_version for Windows in $prefix ($((SECONDS - started)) s)" >&2
echo "$prefix"
