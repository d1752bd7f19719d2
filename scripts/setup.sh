#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and nothing else, and
# the packages named as arguments (for scripts that need more).
# Idempotent: the package lists are refreshed only when something is missing.
# Usage: scripts/setup.sh [PACKAGE...]
set -euo pipefail

packages=(
    build-essential cmake pkg-config ccache
    nlohmann-json3-dev pybind11-dev pybind11-json-dev
    libssl-dev openssl python3-dev libgtest-dev libgmock-dev
    python3-pytest python3-hypothesis python3-mypy python3-ujson
    python3-venv python3-pip zip unzip
    clang-14 libclang-rt-14-dev
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run as root to install them" >&2
    exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
