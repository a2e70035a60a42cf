#!/usr/bin/env bash
# Runs every fuzz target built in BUILD for SECONDS each, over its seed corpus in
# fuzz/corpus/<name>/ (new inputs it finds go to BUILD/fuzz-work/<name>/, not into the
# repository). Fails when any target finds a crash, a sanitizer report or a broken property;
# the input that did it is left in BUILD/fuzz-findings/.
set -euo pipefail

build=${1:-build-fuzz}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build/fuzz-work" "$build/fuzz-findings"

status=0
shopt -s nullglob
for bin in "$build"/fuzz/fuzz_*; do
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  name=${bin##*/fuzz_}
  corpus="$root/fuzz/corpus/$name"
  work="$build/fuzz-work/$name"
  log="$build/fuzz-work/$name.log"
  mkdir -p "$work"
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$build/fuzz-findings/$name-" "$work" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $name: ${runs:-?} executions in ${seconds} s, no findings"
  else
    status=1
    echo "fuzz $name: FINDING (log: $log)"
    tail -n 60 "$log"
  fi
done
exit $status
