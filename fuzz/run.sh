#!/usr/bin/env bash
# Runs each fuzz target for SECONDS on its checked-in seeds, as many at a
# time as there are processors (FUZZ_JOBS), and fails if any of them finds
# a crash or a broken rule.
#
#   fuzz/run.sh SECONDS [TARGET...]      (targets: the folders of fuzz/)
#
# The targets come from the fuzz preset's build (cmake --preset fuzz &&
# cmake --build --preset fuzz), or from FUZZ_BUILD_DIR. What the fuzzer
# learns is kept in the build folder (fuzz-corpus/TARGET) and reused by the
# next run; an input that fails is saved under fuzz-artifacts/TARGET and its
# log is printed. The seeds themselves are never written to.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${FUZZ_BUILD_DIR:-$here/../build/fuzz}"

usage() { echo "usage: $0 SECONDS [TARGET...]" >&2; exit 2; }
[ $# -ge 1 ] || usage
seconds="$1"
shift
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || usage

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in "$here"/*/seeds; do
    targets+=("$(basename "$(dirname "$dir")")")
  done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

# One target: its line on standard output, or its failure and the end of its
# log on standard error; the status says which.
run_target() {
  local target=$1 binary="$build/fuzz/${1}_fuzz" seeds="$here/$1/seeds"
  if [ ! -x "$binary" ] || [ ! -d "$seeds" ]; then
    echo "$target: no target $binary or no seeds $seeds" >&2
    return 1
  fi
  local corpus="$build/fuzz-corpus/$target" artifacts="$build/fuzz-artifacts/$target"
  local log="$build/fuzz-logs/$target.log" status=0 runs
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  "$binary" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  if [ "$status" -eq 0 ]; then
    echo "$target: ${runs:-?} runs in ${seconds} s, no failure"
    return 0
  fi
  echo "$target: FAILED (status $status) after ${runs:-?} runs; log $log" >&2
  tail -n 60 "$log" >&2
  return 1
}

# The targets run FUZZ_JOBS at a time (one per processor unless set), each
# on one processor, so that the whole takes SECONDS times the targets over
# the jobs.
jobs="${FUZZ_JOBS:-$(nproc)}"
failed=0
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
