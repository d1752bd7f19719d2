#!/usr/bin/env bash
# Installs what is missing, builds the default preset and prints the benchmark table.
# Usage: scripts/bench.sh [--quick] [--only GROUPS] [--results FILE]
#   --quick: very few repetitions per row (a smoke run, well under a minute)
#   --only GROUPS: only these groups of rows, e.g. 1,3
#   --results FILE: also write the table to FILE (relative to the top of the source
#     tree), under a header naming the time, the processors, the load and the compiler;
#     the committed table is docs/bench-results.md:
#       nice -n 10 scripts/bench.sh --results docs/bench-results.md
# The table is printed on standard output either way.
# VEXA_BENCH_BUILD_DIR names another binary directory for the default preset.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VEXA_BENCH_BUILD_DIR:-$PWD/build/default}

bash scripts/setup.sh
cmake --preset default -B "$build" >&2
cmake --build "$build" -j "$(nproc)" >&2

PYTHONPATH=$build/python:$build/bench/python \
    /usr/bin/python3 bench/run_bench.py --config "$build/bench/bench_config.json" "$@"
