#!/usr/bin/env bash
# Installs what is missing, builds the tree and runs every test through ctest.
# Usage: scripts/test.sh [preset]    (default: "default"; "asan" for the sanitizer build)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

bash scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
