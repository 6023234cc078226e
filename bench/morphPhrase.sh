#!/usr/bin/env bash
# Benchmarks morphPhrase: the generator's raw genrand_int32 rate (Google
# Benchmark, beside std::mt19937), then the tool three times on a random
# 2,000,000-letter phrase read with -s. Tries per second = the tool's reported
# total tries / its wall time; the figure of merit is its ratio to the raw
# draw rate. Peak memory comes from /usr/bin/time -v.
#
# Usage: bench/morphPhrase.sh            (from anywhere in the source tree)
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

# Raw draw rate, wall-clock based (UseRealTime is not set, so take the
# iteration time column ourselves) and CPU based (Google Benchmark's own).
echo "== genrand_int32 (Google Benchmark, 5 repetitions, medians)"
"$bench" --benchmark_filter='mt19937|genrand' --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null >"$work/gb.csv"
# CSV columns: name,iterations,real_time,cpu_time,time_unit,...,items_per_second
rawCpu=$(awk -F, '$1 ~ /"BM_genrand_int32_median"/ { print $7 }' "$work/gb.csv")
rawWall=$(awk -F, '$1 ~ /"BM_genrand_int32_median"/ { print 1e9 / $3 }' "$work/gb.csv")
stdCpu=$(awk -F, '$1 ~ /"BM_std_mt19937_median"/ { print $7 }' "$work/gb.csv")
printf 'genrand_int32: %.1f M draws/s (CPU time), %.1f M draws/s (wall time)\n' \
  "$(echo "$rawCpu" | awk '{ print $1 / 1e6 }')" "$(echo "$rawWall" | awk '{ print $1 / 1e6 }')"
printf 'std::mt19937:  %.1f M draws/s (CPU time)\n' "$(echo "$stdCpu" | awk '{ print $1 / 1e6 }')"

echo "== morphPhrase -s on 2,000,000 random letters, 3 runs"
: >"$work/rates"
: >"$work/cpurates"
for run in 1 2 3; do
  start=$(date +%s.%N)
  /usr/bin/time -v "$tool" -s <"$work/phrase" >"$work/out" 2>"$work/time"
  end=$(date +%s.%N)
  tries=$(awk '/^Total tries = / { print $4 }' "$work/out")
  cpu=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { print u + s }' "$work/time")
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time")
  wall=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
  rate=$(awk -v t="$tries" -v w="$wall" 'BEGIN { print t / w }')
  echo "$rate" >>"$work/rates"
  awk -v t="$tries" -v c="$cpu" 'BEGIN { print t / c }' >>"$work/cpurates"
  printf 'run %d: %d tries in %.2f s wall (%.2f s CPU): %.1f M tries/s; peak memory %d KiB\n' \
    "$run" "$tries" "$wall" "$cpu" "$(awk -v r="$rate" 'BEGIN { print r / 1e6 }')" "$rss"
done
medWall=$(median <"$work/rates")
medCpu=$(median <"$work/cpurates")
printf 'median: %.1f M tries/s (wall), %.1f M tries/s (CPU)\n' \
  "$(awk -v r="$medWall" 'BEGIN { print r / 1e6 }')" "$(awk -v r="$medCpu" 'BEGIN { print r / 1e6 }')"
awk -v t="$medWall" -v d="$rawWall" -v tc="$medCpu" -v dc="$rawCpu" 'BEGIN {
  printf "ratio tries/s : draws/s = %.3f (wall : wall), %.3f (CPU : CPU); bar 0.30\n", t / d, tc / dc }'
