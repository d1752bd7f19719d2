#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each for SECONDS (default 20)
# on a scratch copy of its committed corpus, so that runs never change fuzz/corpus/.
# Fails when a target crashes, leaks, hangs or exceeds its memory limit; the input is
# kept in the scratch directory that the failure message names.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_trust fuzz_devices fuzz_vexareg fuzz_corvane)
fi

bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vexa-fuzz-XXXXXX")
failed=()
for target in "${targets[@]}"; do
    work="$scratch/$target"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp -r "fuzz/corpus/$target/." "$work/corpus/"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -print_final_stats=1
             -artifact_prefix="$work/artifacts/")
    if [ -f "fuzz/$target.dict" ]; then
        options+=(-dict="fuzz/$target.dict")
    fi
    echo "fuzz: $target for ${seconds}s"
    if ! "build/fuzz/fuzz/$target" "${options[@]}" "$work/corpus" >"$work/log" 2>&1; then
        failed+=("$target")
        tail -n 60 "$work/log" >&2
        echo "fuzz: $target FAILED; log and input in $work" >&2
        continue
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)|DONE +cov:' "$work/log" || true
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: failing targets: ${failed[*]}" >&2
    exit 1
fi
rm -rf "$scratch"
echo "fuzz: every target ran ${seconds}s without a failure"
