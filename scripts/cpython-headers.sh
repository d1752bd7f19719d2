#!/usr/bin/env bash
# Puts the headers of CPython 3.11 for Windows (Include/ and PC/pyconfig.h) into DIR,
# for the Windows build of the Corvane module (cmake -DVEXA_WINDOWS_PYTHON_HEADERS=DIR).
#
# They come from the upstream tarball inside Debian's source package python3.11, got
# with apt-get source through a private apt state in DIR/apt: its deb-src entries are
# the machine's own deb entries, so the machine's apt configuration is neither read for
# anything else nor changed, and the archive's signatures vouch for the files as for
# any package. Only the two parts of the tarball are kept. A second run finds them in
# DIR and downloads nothing.
# Usage: scripts/cpython-headers.sh DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: scripts/cpython-headers.sh DIR" >&2; exit 2; }
dest=$(realpath -m "$1")
source_package=python3.11
stamp=$dest/.complete

if [ -f "$stamp" ]; then
    echo "cpython-headers: $(cat "$stamp") in $dest (kept from an earlier run)"
    exit 0
fi

apt_dir=$dest/apt
rm -rf "$apt_dir" "$dest/Include" "$dest/PC"
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/download"
: >"$apt_dir/sources.list"

# deb-src twins of the machine's deb entries, in either of apt's two formats.
shopt -s nullglob
if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >>"$apt_dir/sources.list"
fi
for list in /etc/apt/sources.list.d/*.list; do
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$list" >>"$apt_dir/sources.list.d/$(basename "$list")"
done
for sources in /etc/apt/sources.list.d/*.sources; do
    sed 's/^Types:.*/Types: deb-src/' "$sources" >"$apt_dir/sources.list.d/$(basename "$sources")"
done
shopt -u nullglob

apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "APT::Sandbox::User=root"
    -o "Debug::NoLocking=1"
)
apt-get "${apt_options[@]}" -qq update

# The newest version first; a mirror may not serve every version that its index lists.
versions=$(apt-cache "${apt_options[@]}" showsrc "$source_package" | sed -n 's/^Version: //p' | sort -r -V)
[ -n "$versions" ] || { echo "cpython-headers: no source package $source_package in the machine's archives" >&2; exit 1; }
downloaded=
for version in $versions; do
    if (cd "$apt_dir/download" && apt-get "${apt_options[@]}" -qq source --download-only "$source_package=$version" >/dev/null 2>&1); then
        downloaded=$version
        break
    fi
    rm -f "$apt_dir/download"/*
done
[ -n "$downloaded" ] || { echo "cpython-headers: could not download any version of $source_package" >&2; exit 1; }

tarball=$(ls "$apt_dir/download/${source_package}_"*.orig.tar.*)
top=$(tar -tf "$tarball" | sed -n '1s,/.*,,p')
tar -xf "$tarball" -C "$dest" --strip-components=1 "$top/Include" "$top/PC/pyconfig.h"
version=$(sed -n 's/^#define PY_VERSION[[:space:]]*"\(.*\)"/\1/p' "$dest/Include/patchlevel.h")
case "$version" in
    3.11.*) ;;
    *) echo "cpython-headers: $tarball holds Python $version, not 3.11" >&2; exit 1 ;;
esac
size=$(du -sh "$apt_dir/download" | cut -f1)
rm -rf "$apt_dir"
echo "CPython $version headers from $source_package $downloaded" >"$stamp"
echo "cpython-headers: $(cat "$stamp") in $dest (source package $size, besides the archives' source indexes)"
