#!/usr/bin/env bash
# Runs a libFuzzer target for a bounded time over the seed corpus in the repo; new inputs go to
# a scratch corpus beside the target, never into the repo. Prints the executions it made.
set -euo pipefail
target=$1 seeds=$2 seconds=${3:-30}
scratch="$target.corpus"
mkdir -p "$scratch"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "$target" -max_total_time="$seconds" -print_final_stats=1 "$scratch" "$seeds" >"$log" 2>&1; then
    tail -n 60 "$log"
    exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "$(basename "$target"): $runs executions in ${seconds}s, no finding"
