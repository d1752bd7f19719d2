#!/usr/bin/env bash
# Publishes the sample framework as the framework driver's software device in a
# machine-state directory, and trusts the development root that signed it.
#
# Usage: scripts/publish-framework.sh MACHINE_STATE_DIR INSTALL_DIR [VEXA_PLATFORM_TOOL [ROOT_CERT]]
#
#   MACHINE_STATE_DIR   the stand-in's machine state (created if missing)
#   INSTALL_DIR         the staged framework, normally BUILD_DIR/framework/install
#   VEXA_PLATFORM_TOOL  default: BUILD_DIR/platform/vexa-platform, else vexa-platform on PATH
#   ROOT_CERT           default: BUILD_DIR/devca/root-cert.pem
# where BUILD_DIR is INSTALL_DIR/../.. (the build tree that staged the framework).
#
# Publishing again replaces the device; the provider catalog in INSTALL_DIR is kept.
set -euo pipefail

usage() {
    sed -n 's/^# Usage: //p' "$0" >&2
    exit 2
}

[ $# -ge 2 ] && [ $# -le 4 ] || usage
state=$1
[ -d "$2" ] || { echo "publish-framework: no install directory $2" >&2; exit 1; }
install=$(cd "$2" && pwd -P)
build=$(cd "$install/../.." && pwd -P)

tool=${3:-}
if [ -z "$tool" ]; then
    if [ -x "$build/platform/vexa-platform" ]; then
        tool=$build/platform/vexa-platform
    else
        tool=vexa-platform
    fi
fi
cert=${4:-$build/devca/root-cert.pem}

for library in Orbisk.dll Tessaly.dll; do
    [ -f "$install/$library" ] || { echo "publish-framework: $install/$library is missing" >&2; exit 1; }
done
[ -f "$cert" ] || { echo "publish-framework: no root certificate $cert" >&2; exit 1; }

mkdir -p "$state"
"$tool" --root "$state" publish 'SWD\VexaFramework\0000' \
    --interface '{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}' --value "InstallDir=$install"
"$tool" --root "$state" trust "$cert"
for library in Orbisk.dll Tessaly.dll; do
    "$tool" --root "$state" verify "$install/$library" >/dev/null
done
echo "publish-framework: framework in $install published in $state"
