#!/usr/bin/env bash
# Builds the tree and shows everything it does, end to end, against the sample
# framework published in a private machine state under the build tree:
#   1. the platform stand-in publishes the framework's device and verifies signatures;
#   2. vexareg registers, lists and unregisters a provider;
#   3. Python reads and sets values, runs commands and receives events through Corvane;
#   4. the corvane command reads a value and watches a sensor.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
# Only what the demo shows: the stand-in's tool, the signed sample framework, vexareg
# and the Corvane module; the tests and their libraries are left for scripts/test.sh.
cmake --build --preset default -j "$(nproc)" --target vexa-platform vexa_framework vexareg Corvane

build=$PWD/build/default
demo=$build/demo
tool=$build/platform/vexa-platform
vexareg=$build/tools/vexareg/vexareg

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

# A fresh machine state and a private copy of the framework, so the demo never
# changes the staged build and can run again and again.
rm -rf "$demo"
mkdir -p "$demo/providers"
cp -r "$build/framework/install" "$demo/framework"
export VEXA_PLATFORM_ROOT=$demo/machine

step "Publish the sample framework as the driver's software device"
run scripts/publish-framework.sh "$VEXA_PLATFORM_ROOT" "$demo/framework" "$tool" "$build/devca/root-cert.pem"
run "$tool" list

step "Signature checks of the platform stand-in"
run "$tool" verify "$demo/framework/Tessaly.dll"
cp "$demo/framework/Tessaly.dll" "$demo/Tessaly-tampered.dll"
printf 'X' | dd of="$demo/Tessaly-tampered.dll" bs=1 seek=4096 conv=notrunc status=none
run "$tool" verify "$demo/Tessaly-tampered.dll" || echo "(refused, exit status $?)"

step "vexareg: register, list, unregister a provider"
provider=$demo/providers/DemoProvider.dll
cp "$build/framework/install/Orbisk.dll" "$provider"   # any existing .dll file will do
run "$vexareg" -q
run "$vexareg" -r "$provider"
run "$vexareg" -q
run "$vexareg" -r "$demo/providers/Missing.dll" || echo "(exit status $?)"
run "$vexareg" -u "$provider"
run "$vexareg" -q

step "Python: Corvane reads and sets values, runs commands, receives events"
export PYTHONPATH=$build/python
run /usr/bin/python3 python/corvane/demo.py

step "Python: subscribe to a sensor and print a few notifications"
run /usr/bin/python3 python/corvane/demo_events.py 3

step "The corvane command: JSON from a shell"
corvane() { /usr/bin/python3 -m corvane_tools "$@"; }   # what the wheel installs as corvane
run corvane get settings
run corvane set settings.label --string "set from a shell"
run corvane get settings.label   # a new process: settings are the machine's
run corvane exec settings.reset
run corvane watch sensors.temperature --count 3
run corvane get no.such.path || echo "(exit status $?)"

step "Python: no framework published"
VEXA_PLATFORM_ROOT=$demo/empty-machine /usr/bin/python3 -c '
import Corvane
try:
    Corvane.ClientApi()
except Corvane.VexaException as error:
    print("VexaException:", error)'
printf '\nDemo complete.\n'
