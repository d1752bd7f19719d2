#!/usr/bin/env bash
# Installs what is missing, builds the tree and runs every test through ctest.
# Usage: scripts/test.sh [preset [regex]]
#   preset: "default" (the default), "asan" (AddressSanitizer + UndefinedBehaviorSanitizer)
#           or "tsan" (ThreadSanitizer); regex: run only the tests whose names match it
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

bash scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)" ${2:+-R "$2"}
