#!/usr/bin/env bash
# The Windows stage: cross-builds the tree with MinGW-w64 (preset "mingw"), the Corvane
# module for CPython 3.11 included, and runs, under Wine in a private prefix, the loader
# tests, the unit tests of vexareg and the vexareg process tests against the sample
# framework; inspects Corvane.pyd and its wheel; then runs the Corvane suites and the
# installed wheel on a CPython 3.11 for Windows built here. Prints the count of tests run.
#
# The prefix lives in build/mingw/wine-prefix and is made afresh on every run. Wine's
# own Configuration Manager cannot list devices, so the test-only cfgmgr32.dll of
# tests/windows is put into the prefix and preferred through WINEDLLOVERRIDES.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/mingw

# What the build and tests need anyway (setup.sh) and what the Windows stage adds.
bash scripts/setup.sh g++-mingw-w64-x86-64-posix wine64 osslsigncode googletest libpython3.11 python3.11 \
    libz-mingw-w64-dev make patch

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

# pytest: the last line counts passed, failed, errors and skipped. Debian's interpreter
# runs it unless pytest_python names another.
pytest_python=(env PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3)
pytests() {
    local name=$1
    shift
    echo "== $name"
    local status=0
    # Through a pipe: Wine cannot tell a Windows Python the attributes of a regular file
    # handed over as its standard output (GetFileInformationByHandle fails), and Python
    # stops at start-up. Windows programs end their lines with CR LF. With pipefail the
    # pipe's status is pytest's (PIPESTATUS would be that of whatever ran after it).
    "${pytest_python[@]}" -m pytest -q -p no:cacheprovider "$@" </dev/null 2>&1 | tr -d '\r' >"$log" || status=$?
    # What the inspection prints (after pytest's progress dots).
    sed -n 's/^\.*\(Corvane\.pyd \(exports\|imports\): \)/\1/p' "$log"
    # The errors, failures and warnings (a Wine start tried again among them) in full,
    # each skip with its reason (-rs), and the summary.
    if grep -q '^=* \(ERRORS\|FAILURES\|warnings summary\) =*$' "$log"; then
        sed -n '/^=* \(ERRORS\|FAILURES\|warnings summary\) =*$/,$p' "$log" | tail -200
    else
        sed -n '/^=* short test summary info =*$/,$p' "$log" | grep -v '^=* short test summary' || true
        tail -1 "$log"
    fi
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
VEXA_RECORDING_UNSIGNED=$build/tests/doubles/loader_catalog_unsigned.dll \
    pytests "vexareg process tests" "$root/tests/windows/test_vexareg_wine.py"
VEXA_MINGW_BUILD=$build pytests "Corvane.pyd inspection and wheel" -s "$root/tests/windows/test_corvane_windows.py"

# Corvane on Windows: a CPython 3.11 for Windows built here from the source the module's
# headers come from (scripts/windows-python.sh, kept in the machine's cache), run under
# Wine. It imports Corvane.pyd from the build tree and runs the module's suites with
# Debian's pytest (pure Python, put on its path) against the signed sample framework and
# test doubles published in this prefix; then takes the win_amd64 wheel into its
# site-packages and binds the sample framework through the installed module.
windows_path() { local path; path=$(realpath -m "$1"); echo "Z:${path//\//\\}"; }
echo "== Windows CPython 3.11 (scripts/windows-python.sh)"
python_started=$SECONDS
python_dir=$(bash scripts/windows-python.sh)
echo "windows-python: $(cat "$python_dir/.complete") ready after $((SECONDS - python_started)) s"
# A copy per run: the wheel is installed into it, never into the cache.
rm -rf "$build/windows-python"
cp -r "$python_dir" "$build/windows-python"
python_exe=$build/windows-python/python.exe
# Compiled modules (Debian's pytest among them) go to the build tree, not beside their sources.
export PYTHONPYCACHEPREFIX
PYTHONPYCACHEPREFIX=$(windows_path "$build/windows-python-pycache")
"$wine" "$build/tests/windows/vexa-wine-machine.exe" remove
# The Corvane suites and the wheel's check find the development root trusted for their
# whole run; the vexareg process tests take it out of the Root store when they end.
"$wine" "$build/tests/windows/vexa-wine-machine.exe" trust "$(windows_path "$build/devca/root-cert.pem")"
corvane_path="$(windows_path "$build/python");$(windows_path "$build/tests/python/probe")"
debian_path=$(windows_path /usr/lib/python3/dist-packages)
PYTHONPATH=$corvane_path "$wine" "$python_exe" -c "import sys, Corvane; print(sys.version, Corvane.__doc__)" \
    </dev/null 2>&1 | tr -d '\r' || { echo "windows-tests: Corvane does not import under Wine" >&2; exit 1; }

echo "== Corvane suites under Wine, Windows CPython 3.11 (Linux: ctest -R Python)"
suites_started=$SECONDS
pytest_python=("$wine" "$python_exe")
# From the suites' folder, where the interpreters they start find conftest.py.
cd "$root/tests/python"
PYTHONPATH="$corvane_path;$debian_path" \
VEXA_WINE_MACHINE=$(windows_path "$build/tests/windows/vexa-wine-machine.exe") \
VEXA_DEV_ROOT_CERT=$(windows_path "$build/devca/root-cert.pem") \
VEXA_FRAMEWORK_DIR=$(windows_path "$build/framework/install") \
VEXA_SCRIPTED_DOUBLE=$(windows_path "$build/tests/doubles/CorvaneScriptedClient.dll") \
VEXA_EVENT_DOUBLE=$(windows_path "$build/tests/doubles/EventDouble.dll") \
VEXA_PRIVATE_RUNTIME_CLIENT=$(windows_path "$build/tests/doubles/loader_client_private_runtime.dll") \
    pytests "Corvane suites under Wine" -rs .
cd "$root"
echo "Corvane suites under Wine: $((SECONDS - suites_started)) s"
pytest_python=(env PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3)
unset PYTHONPYCACHEPREFIX

# The wheel, installed as pip installs it: this interpreter's pip cannot run, as pip
# needs ctypes on Windows and _ctypes needs a libffi for MinGW-w64, which Debian lacks.
echo "== Corvane wheel installed in the Windows interpreter"
rm -rf "$build/windows-wheel"
mkdir -p "$build/windows-wheel"
wheel=$build/windows-wheel/$(/usr/bin/python3 python/build_backend/corvane_build.py windows-wheel "$build" "$build/windows-wheel")
"$wine" "$build/tests/windows/vexa-wine-machine.exe" publish "$(windows_path "$build/framework/install")"
wheel_status=0
"$wine" "$python_exe" "$(windows_path "$root/tests/windows/install_wheel.py")" "$(windows_path "$wheel")" </dev/null 2>&1 |
    tr -d '\r' || wheel_status=1
# Corvane from site-packages alone (nothing of the build tree on the path) binds the framework.
"$wine" "$python_exe" -c "
import Corvane, sysconfig
from pathlib import Path
assert Path(Corvane.__file__).parent == Path(sysconfig.get_paths()['platlib']), Corvane.__file__
print(Corvane.__file__, Corvane.CorvaneJson().GetValue('settings'))" </dev/null 2>&1 | tr -d '\r' || wheel_status=1
"$wine" "$build/tests/windows/vexa-wine-machine.exe" remove
total=$((total + 1))
if [ "$wheel_status" -ne 0 ]; then
    echo "Corvane wheel in the Windows interpreter: FAILED"
    failed=$((failed + 1))
fi

echo "windows-tests: $total tests run, under Wine and on Corvane.pyd ($skipped of them skipped); $failed of 7 runs failed"
[ "$failed" -eq 0 ]
