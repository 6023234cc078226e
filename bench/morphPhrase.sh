#!/usr/bin/env bash
# Benchmarks morphPhrase: the generator's raw genrand_int32 rate (Google
# Benchmark, beside std::mt19937, block fills and each regeneration kernel the
# processor runs), whole evolutions of one phrase with each kernel of the
# evolution loop that the processor runs, then the tool RUNS times (default 5)
# on a random 2,000,000-letter phrase read with -s. Tries per second = the
# tool's reported total tries / its wall time; the figure of merit is its
# ratio to the raw draw rate, measured in the same run. Peak memory comes from
# /usr/bin/time -v.
#
# BASELINE=path/to/an/older/morphPhrase runs it right after each run of the
# tool on the same phrase, and prints the median of the pairs' ratios of
# tries per second.
#
# Usage: bench/morphPhrase.sh            (from anywhere in the source tree)
# On a shared machine: flock /tmp/bench.lock bench/morphPhrase.sh
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -q && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

cmake --preset bench >/dev/null
cmake --build --preset bench --target morphPhrase_bench morphPhrase -j2 >/dev/null
tool=build/bench/morphPhrase/morphPhrase
bench=build/bench/bench/morphPhrase_bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 2000000 < <(LC_ALL=C tr -dc 'a-z' </dev/urandom) >"$work/phrase"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The machine may be shared, so the raw draw rate is measured again right
# before each run of the tool and each run is set against its own
# measurement; the medians of those ratios are the figures of merit. Wall
# time for the tool's rate, as stated above; CPU-time figures beside them
# show how much of the wall time other work took.
drawRates() {  # prints "<draws/s by wall time> <draws/s by CPU time>"
  "$bench" --benchmark_filter='^BM_genrand_int32$' --benchmark_min_time=0.5 \
    --benchmark_format=csv 2>/dev/null |
    awk -F, '$1 == "\"BM_genrand_int32\"" { print 1e9 / $3, 1e9 / $4 }'
}

runs=${RUNS:-5}
flags=$(grep -m1 '^flags' /proc/cpuinfo | tr ' ' '\n' | grep -xE 'avx2|avx512f|avx512bw' | tr '\n' ' ')
kernel=portable
case " $flags" in *" avx512f "*) kernel=avx512 ;; *" avx2 "*) kernel=avx2 ;; esac
echo "== processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-); wide flags: ${flags:-none}; generator kernel: $kernel; evolution kernel: $("$bench" --evolve-kernel)"
echo "== load: $(uptime)"

echo "== Google Benchmark: genrand_int32 beside std::mt19937, block fills, generator kernels, a whole evolution of"
echo "   2,000,000 letters with each evolution-loop kernel (tries/s as items/s) (3 repetitions, medians)"
"$bench" --benchmark_filter='mt19937|genrand|mtKernel|BM_evolve' --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '_median'

echo "== morphPhrase -s on 2,000,000 random letters, $runs runs, each after a fresh draw-rate measurement"
: >"$work/wallRatios"
: >"$work/cpuRatios"
: >"$work/rates"
: >"$work/rss"
: >"$work/againstBaseline"
# tries/s of one run of morphPhrase binary $1 on the phrase
triesPerSecond() {
  local start=$EPOCHREALTIME
  "$1" -s <"$work/phrase" >"$work/baselineOut"
  local end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" '/^Total tries = / { print $4 / (e - s) }' "$work/baselineOut"
}
for run in $(seq "$runs"); do
  read -r drawWall drawCpu < <(drawRates)
  start=$(date +%s.%N)
  /usr/bin/time -v "$tool" -s <"$work/phrase" >"$work/out" 2>"$work/time"
  end=$(date +%s.%N)
  tries=$(awk '/^Total tries = / { print $4 }' "$work/out")
  cpu=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { print u + s }' "$work/time")
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time")
  wall=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
  echo "$rss" >>"$work/rss"
  awk -v t="$tries" -v w="$wall" 'BEGIN { print t / w }' >>"$work/rates"
  awk -v t="$tries" -v w="$wall" -v d="$drawWall" 'BEGIN { print t / w / d }' >>"$work/wallRatios"
  awk -v t="$tries" -v c="$cpu" -v d="$drawCpu" 'BEGIN { print t / c / d }' >>"$work/cpuRatios"
  awk -v run="$run" -v t="$tries" -v w="$wall" -v c="$cpu" -v dw="$drawWall" -v dc="$drawCpu" -v rss="$rss" 'BEGIN {
    printf "run %d: draws %.1f M/s wall, %.1f M/s CPU; tool %d tries in %.2f s wall (%.2f s CPU) = %.1f M tries/s wall, %.1f M/s CPU; ratio %.3f wall, %.3f CPU; peak memory %d KiB\n",
      run, dw / 1e6, dc / 1e6, t, w, c, t / w / 1e6, t / c / 1e6, t / w / dw, t / c / dc, rss }'
  if [ -n "${BASELINE:-}" ]; then
    old=$(triesPerSecond "$BASELINE")
    awk -v t="$tries" -v w="$wall" -v o="$old" 'BEGIN { printf "  baseline right after: %.1f M tries/s wall; tool : baseline %.3f\n", o / 1e6, t / w / o }'
    awk -v t="$tries" -v w="$wall" -v o="$old" 'BEGIN { print t / w / o }' >>"$work/againstBaseline"
  fi
done
printf 'median tries/s: %.1f M (wall)\n' "$(median <"$work/rates" | awk '{ print $1 / 1e6 }')"
printf 'median ratio tries/s : draws/s = %.3f (wall : wall), %.3f (CPU : CPU); bar 1.20\n' \
  "$(median <"$work/wallRatios")" "$(median <"$work/cpuRatios")"
printf 'median peak memory: %d KiB\n' "$(median <"$work/rss")"
[ -z "${BASELINE:-}" ] || printf 'median tries/s of the tool : the baseline, paired runs = %.3f\n' "$(median <"$work/againstBaseline")"
echo "== load after: $(uptime)"
