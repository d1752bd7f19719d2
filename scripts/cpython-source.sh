#!/usr/bin/env bash
# Puts the upstream CPython 3.11 tarball of Debian's source package python3.11 into DIR
# and prints its path. The headers of the Windows Corvane module (cpython-headers.sh)
# and the Windows interpreter the module runs on (windows-python.sh) both come from it.
#
# It is got with apt-get source through a private apt state in DIR/apt: its deb-src
# entries are the machine's own deb entries, so the machine's apt configuration is
# neither read for anything else nor changed, and the archive's signatures vouch for
# the file as for any package. Only the tarball is kept; a second run finds it in DIR
# and downloads nothing.
# Usage: scripts/cpython-source.sh DIR    (progress on stderr, the tarball's path on stdout)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: scripts/cpython-source.sh DIR" >&2; exit 2; }
dest=$(realpath -m "$1")
source_package=python3.11
stamp=$dest/.complete

if [ -f "$stamp" ] && [ -f "$dest/$(sed -n 2p "$stamp")" ]; then
    echo "$dest/$(sed -n 2p "$stamp")"
    exit 0
fi

apt_dir=$dest/apt
rm -rf "$apt_dir" "$stamp"
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
apt-get "${apt_options[@]}" -qq update >&2

# The newest version first; a mirror may not serve every version that its index lists.
versions=$(apt-cache "${apt_options[@]}" showsrc "$source_package" | sed -n 's/^Version: //p' | sort -r -V)
[ -n "$versions" ] || { echo "cpython-source: no source package $source_package in the machine's archives" >&2; exit 1; }
downloaded=
for version in $versions; do
    if (cd "$apt_dir/download" && apt-get "${apt_options[@]}" -qq source --download-only "$source_package=$version" >/dev/null 2>&1); then
        downloaded=$version
        break
    fi
    rm -f "$apt_dir/download"/*
done
[ -n "$downloaded" ] || { echo "cpython-source: could not download any version of $source_package" >&2; exit 1; }

tarball=$(cd "$apt_dir/download" && ls "${source_package}_"*.orig.tar.*)
mv "$apt_dir/download/$tarball" "$dest/$tarball"
rm -rf "$apt_dir"
printf '%s\n%s\n' "$source_package $downloaded" "$tarball" >"$stamp"
echo "cpython-source: $tarball from $source_package $downloaded ($(du -h "$dest/$tarball" | cut -f1)) in $dest" >&2
echo "$dest/$tarball"
