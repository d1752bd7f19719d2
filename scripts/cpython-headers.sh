#!/usr/bin/env bash
# Puts the headers of CPython 3.11 for Windows (Include/ and PC/pyconfig.h) into DIR,
# for the Windows build of the Corvane module (cmake -DVEXA_WINDOWS_PYTHON_HEADERS=DIR).
#
# They come from the upstream tarball inside Debian's source package python3.11, which
# cpython-source.sh keeps in $VEXA_CACHE_DIR/cpython-source (default /var/cache/vexa).
# Only the two parts of the tarball are kept here. A second run finds them in DIR and
# reads nothing.
# Usage: scripts/cpython-headers.sh DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: scripts/cpython-headers.sh DIR" >&2; exit 2; }
dest=$(realpath -m "$1")
stamp=$dest/.complete

if [ -f "$stamp" ]; then
    echo "cpython-headers: $(cat "$stamp") in $dest (kept from an earlier run)"
    exit 0
fi

# The tarball is kept in the machine's cache for the Windows interpreter as well.
mkdir -p "$dest"
tarball=$(bash "$(dirname "$0")/cpython-source.sh" "${VEXA_CACHE_DIR:-/var/cache/vexa}/cpython-source")
rm -rf "$dest/Include" "$dest/PC"
top=$(tar -tf "$tarball" | sed -n '1s,/.*,,p')
tar -xf "$tarball" -C "$dest" --strip-components=1 "$top/Include" "$top/PC/pyconfig.h"
version=$(sed -n 's/^#define PY_VERSION[[:space:]]*"\(.*\)"/\1/p' "$dest/Include/patchlevel.h")
case "$version" in
    3.11.*) ;;
    *) echo "cpython-headers: $tarball holds Python $version, not 3.11" >&2; exit 1 ;;
esac
echo "CPython $version headers from $(basename "$tarball")" >"$stamp"
echo "cpython-headers: $(cat "$stamp") in $dest"
