#!/usr/bin/env bash
# Builds what the packages need and leaves in dist/:
#   corvane-VERSION-cp311-cp311-linux_x86_64.whl   the Corvane module with its type stub and
#       corvane_tools, for Debian's /usr/bin/python3, built from the default build tree
#       (build/default)
#   vexa-client-VERSION-win64.zip                   the Windows product: vexareg.exe (its
#       manifest embedded), README.txt, LICENSE.txt and THIRD-PARTY-NOTICES.txt, and the
#       Windows Corvane module with its stubs and corvane_tools in python/; built from
#       build/mingw
#   corvane-VERSION-cp311-cp311-win_amd64.whl       the Windows Corvane module for 64-bit
#       CPython 3.11 with its type stub and corvane_tools, from build/mingw
# VERSION is the project(VERSION) of CMakeLists.txt. Installs the Debian packages it
# needs (as root). Usage: scripts/package.sh [--linux-only]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$root/dist
linux_only=false
case "${1:-}" in
    "") ;;
    --linux-only) linux_only=true ;;
    *) echo "usage: scripts/package.sh [--linux-only]" >&2; exit 2 ;;
esac

if $linux_only; then
    bash scripts/setup.sh
else
    bash scripts/setup.sh g++-mingw-w64-x86-64-posix osslsigncode googletest
fi
jobs=$(nproc)
mkdir -p "$dist"

# The wheel: the module of the default build, packed by the build backend of
# pyproject.toml with Debian's pip, offline and without an isolated build environment.
cmake --preset default >/dev/null
cmake --build --preset default --target Corvane -j "$jobs"
version=$(cat build/default/VERSION)
rm -f "$dist"/corvane-*-linux_*.whl
CMAKE_BUILD_PARALLEL_LEVEL=$jobs VEXA_BUILD_DIR=$root/build/default \
    /usr/bin/python3 -m pip wheel --no-build-isolation --no-deps --no-index --no-cache-dir --disable-pip-version-check \
    --wheel-dir "$dist" "$root"
wheel=$(ls "$dist"/corvane-"$version"-*-linux_*.whl)
echo "package: $wheel"

if $linux_only; then
    exit 0
fi

# The Windows product archive: the components "tools" and "python" of the MinGW-w64
# build. Nothing of the component "devtools" (the platform stand-in's tool, the sample
# framework) goes in.
bash scripts/cpython-headers.sh "$root/build/mingw/cpython-3.11"
cmake --preset mingw >/dev/null
[ "$(cat build/mingw/VERSION)" = "$version" ] || { echo "package: the two build trees disagree on the version" >&2; exit 1; }
cmake --build --preset mingw --target vexareg Corvane -j "$jobs"
name=vexa-client-$version-win64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install build/mingw --component tools --prefix "$stage/$name" --strip >/dev/null
cmake --install build/mingw --component python --prefix "$stage/$name" --strip >/dev/null
exe=$stage/$name/bin/vexareg.exe
[ -f "$exe" ] || { echo "package: no vexareg.exe was installed" >&2; exit 1; }
grep -q 'requireAdministrator' "$exe" || { echo "package: vexareg.exe carries no manifest" >&2; exit 1; }
for file in LICENSE.txt THIRD-PARTY-NOTICES.txt python/corvane_tools/py.typed; do
    [ -f "$stage/$name/$file" ] || { echo "package: no $file was installed" >&2; exit 1; }
done
archive=$dist/$name.zip
rm -f "$archive"
(cd "$stage" && zip -q -r -X "$archive" "$name")
if unzip -Z1 "$archive" | grep -E -i '(^|/)(vexa-platform|Orbisk\.dll|Tessaly\.dll|devca|[^/]*\.pem)'; then
    echo "package: development files in $archive" >&2
    exit 1
fi
echo "package: $archive"
unzip -l "$archive"

# The Windows wheel, packed like the Linux one by the build backend.
rm -f "$dist"/corvane-*-win_amd64.whl
windows_wheel=$(/usr/bin/python3 python/build_backend/corvane_build.py windows-wheel build/mingw "$dist")
echo "package: $dist/$windows_wheel"
