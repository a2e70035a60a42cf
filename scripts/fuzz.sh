#!/usr/bin/env bash
# Runs every fuzz target built in BUILD for SECONDS each, JOBS targets at a time, over its seed
# corpus in fuzz/corpus/<name>/ (new inputs it finds go to BUILD/fuzz-work/<name>/, not into
# the repository, and are used again by the next run). Fails when any target finds a crash, a
# sanitizer report or a broken property; the input that did it is left in BUILD/fuzz-findings/.
# Each run's executions are appended to BUILD/fuzz-work/executions.tsv.
set -euo pipefail

build=${1:-build-sanitize}
seconds=${2:-60}
jobs=${3:-$(nproc)}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build/fuzz-work" "$build/fuzz-findings"

# One target; prints its line of the summary and fails on a finding.
run_one() {
  local bin=$1 name=${1##*/fuzz_}
  local corpus="$root/fuzz/corpus/$name" work="$build/fuzz-work/$name"
  local log="$build/fuzz-work/$name.log"
  mkdir -p "$work"
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$build/fuzz-findings/$name-" "$work" "$corpus" >"$log" 2>&1; then
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    printf '%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$name" "${runs:-0}" "$seconds" \
      >>"$build/fuzz-work/executions.tsv"
    echo "fuzz $name: ${runs:-?} executions in ${seconds} s, no findings"
  else
    echo "fuzz $name: FINDING (log: $log)"
    tail -n 60 "$log"
    return 1
  fi
}
export -f run_one
export build seconds root

shopt -s nullglob
targets=()
for bin in "$build"/fuzz/fuzz_*; do
  [ -f "$bin" ] && [ -x "$bin" ] && targets+=("$bin")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $build/fuzz" >&2
  exit 1
fi
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$1"' _ {}
