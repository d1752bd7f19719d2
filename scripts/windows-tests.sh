#!/usr/bin/env bash
# The Windows stage: cross-builds the tree with MinGW-w64 (preset "mingw"), the Corvane
# module for CPython 3.11 included, and runs, under Wine in a private prefix, the loader
# tests, the unit tests of vexareg and the vexareg process tests against the sample
# framework; then inspects Corvane.pyd and its wheel (no Windows Python runs here to
# import it). Prints the count of tests run.
#
# The prefix lives in build/mingw/wine-prefix and is made afresh on every run. Wine's
# own Configuration Manager cannot list devices, so the test-only cfgmgr32.dll of
# tests/windows is put into the prefix and preferred through WINEDLLOVERRIDES.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/mingw

packages=(g++-mingw-w64-x86-64-posix wine64 osslsigncode googletest cmake openssl python3-pytest nlohmann-json3-dev
          pybind11-dev pybind11-json-dev libpython3.11 python3-pip)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "windows-tests: missing packages: ${missing[*]}; run as root to install them" >&2
        exit 1
    fi
    echo "windows-tests: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# CPython's headers for the module, downloaded on the first run only.
bash scripts/cpython-headers.sh "$build/cpython-3.11"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$(nproc)"
[ -f "$build/python/Corvane.pyd" ] || { echo "windows-tests: the build made no Corvane.pyd" >&2; exit 1; }

wine=/usr/lib/wine/wine64
export WINEPREFIX=$build/wine-prefix
export WINEARCH=win64
export WINEDEBUG=-all
# Wine takes the prefix's ANSI code page from the locale: C.UTF-8 gives English, code
# page 1252, whose characters the vexareg tests pass; and arguments pass from here to
# Windows programs as UTF-8.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
log=$(mktemp)
# One server for all the runs that follow, stopped (only this prefix's) on the way out.
/usr/lib/wine/wineserver -p
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; rm -f "$log"' EXIT
# Without the components that would offer to download runtimes nobody needs here.
WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i >/dev/null 2>&1
cp "$build/tests/windows/cfgmgr32/cfgmgr32.dll" "$WINEPREFIX/drive_c/windows/system32/cfgmgr32.dll"
export WINEDLLOVERRIDES="cfgmgr32=n"

total=0
skipped=0
failed=0

# gtest: "[==========] N tests from M test suites ran." and "[  FAILED  ] N tests, listed below:"
gtest() {
    local name=$1
    shift
    echo "== $name"
    local status=0
    "$wine" "$@" >"$log" 2>&1 || status=$?
    tr -d '\r' <"$log" | grep -E '^\[  (FAILED|SKIPPED) +\]|^\[==========\] [0-9]+ tests? from .* ran' || true
    local ran
    ran=$(tr -d '\r' <"$log" | sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran.*/\1/p')
    if [ "$status" -ne 0 ] || [ -z "$ran" ]; then
        tr -d '\r' <"$log" | tail -60
        echo "$name: FAILED (exit status $status)"
        failed=$((failed + 1))
    fi
    total=$((total + ${ran:-0}))
    local skips
    skips=$(tr -d '\r' <"$log" | sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below.*/\1/p')
    skipped=$((skipped + ${skips:-0}))
}

# Wine's chain engine keeps the roots it read for the life of a process, so the test
# that needs the development root absent runs in a process of its own, first.
gtest "loader tests, untrusted root" "$build/tests/loader/loader_tests.exe" --gtest_filter='*UntrustedRoot*'
gtest "loader tests" "$build/tests/loader/loader_tests.exe" --gtest_filter='-*UntrustedRoot*'
gtest "vexareg unit tests" "$build/tests/vexareg/vexareg_unit_tests.exe"

# pytest: the last line counts passed, failed, errors and skipped.
pytests() {
    local name=$1
    shift
    echo "== $name"
    local status=0
    PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" >"$log" 2>&1 || status=$?
    # What the inspection prints (after pytest's progress dots).
    sed -n 's/^\.*\(Corvane\.pyd \(exports\|imports\): \)/\1/p' "$log"
    tail -15 "$log" | grep -v 'Corvane\.pyd \(exports\|imports\): '
    local summary passed failures errors skips
    summary=$(tail -1 "$log")
    count() { sed -n "s/^\(.*[^0-9]\)\{0,1\}\([0-9][0-9]*\) $1.*/\2/p" <<<"$summary"; }
    passed=$(count passed)
    failures=$(count failed)
    errors=$(count error)
    skips=$(count skipped)
    total=$((total + ${passed:-0} + ${failures:-0} + ${errors:-0} + ${skips:-0}))
    skipped=$((skipped + ${skips:-0}))
    if [ "$status" -ne 0 ] || [ -z "$passed" ]; then
        echo "$name: FAILED (exit status $status)"
        failed=$((failed + 1))
    fi
}

"$wine" "$build/tests/windows/vexa-wine-machine.exe" trust "Z:${build//\//\\}\\devca\\root-cert.pem"
VEXAREG=$build/tools/vexareg/vexareg.exe \
VEXA_WINE_MACHINE=$build/tests/windows/vexa-wine-machine.exe \
VEXA_DEV_ROOT_CERT=$build/devca/root-cert.pem \
VEXA_FRAMEWORK_INSTALL_DIR=$build/framework/install \
VEXA_SWAP_ATTACKER=$build/tests/windows/swap-attacker.exe \
VEXA_LOCK_HOLDER=$build/tests/windows/lock-holder.exe \
VEXA_RECORDING_UNSIGNED=$build/tests/libraries/loader_catalog_unsigned.dll \
    pytests "vexareg process tests" "$root/tests/windows/test_vexareg_wine.py"
VEXA_MINGW_BUILD=$build pytests "Corvane.pyd inspection and wheel" -s "$root/tests/windows/test_corvane_windows.py"

echo "windows-tests: $total tests run, under Wine and on Corvane.pyd ($skipped of them skipped); $failed of 5 runs failed"
[ "$failed" -eq 0 ]
