#!/usr/bin/env bash
# Times octetTally against `wc -l` (a reader that runs at memory speed) on
# three files held in the page cache: 256 MiB of random bytes, 100 MB of
# C-like text (this source tree's own code, repeated) and 256 MiB of one
# repeated byte; from the file on as many threads as the tool takes and on
# one (bound to one processor), and from a pipe against `cat f | wc -l`.
# Each counting kernel is also timed on its own, through
# bench/countBytesBench.cpp, which reads the file on one thread as the tool
# reads a pipe and counts it with the kernel named, so that the choices of
# processors without AVX-512 are measured here too.
#
# Every figure is a median of RUNS paired runs (default 21): each run of a
# command is paired with a run of its peer right beside it, in alternating
# order, and the ratio is the median of the pairs' ratios, so that a machine
# shared with other work slows both sides of a pair alike. Prints the
# processor's flags, the kernel and the threads the tool chose, the medians
# and ratios, and the tool's peak memory. BASELINE=path/to/an/older/octetTally
# adds its rows beside the tool's. On the random bytes the analyses (-e, every
# statistic; -b 1M, the blocks' entropies) are timed against the plain count
# in the same run, from the file and from a pipe, and the order sums' kernels
# on their own. FILES="random" times only the files named.
#
# Usage: bench/octetTally.sh [PATH-TO-octetTally [PATH-TO-countBytes_bench]]
# Defaults: build/release/octetTally/octetTally and
# build/bench/bench/countBytes_bench (built if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
source=$(pwd)

tool=${1:-build/release/octetTally/octetTally}
kernels=${2:-build/bench/bench/countBytes_bench}
runs=${RUNS:-21}
baseline=${BASELINE:-}

if [ ! -x "$tool" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target octetTally -j 2
fi
if [ ! -x "$kernels" ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench --target countBytes_bench -j 2
fi
tool=$(realpath "$tool")
kernels=$(realpath "$kernels")
[ -z "$baseline" ] || baseline=$(realpath "$baseline")

need_apt=()
[ -x /usr/bin/time ] || need_apt+=(time)
command -v taskset >/dev/null 2>&1 || need_apt+=(util-linux)
if [ ${#need_apt[@]} -gt 0 ]; then
  apt-get update -qq && apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

work=$(mktemp -d /tmp/octetTally-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "Processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) processors online"
echo "Flags: $(grep -m1 -ow -E 'sse4_2|avx2|bmi2|avx512f|avx512bw|avx512vl|avx512vbmi|avx512_vbmi2|avx512_bitalg|avx512_vpopcntdq|gfni' /proc/cpuinfo | sort -u | tr '\n' ' ')"
"$kernels" --list | sed 's/^/Kernel /'
echo "Load before: $(uptime | sed 's/.*load average: //')"

mib=$((1024 * 1024))
head -c $((256 * mib)) /dev/urandom >"$work/random"
head -c $((256 * mib)) /dev/zero | tr '\0' 'e' >"$work/onebyte"
# C-like text: the suite's own sources, doubled until there is enough.
find "$source" -path "$source/build" -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0 |
  sort -z | xargs -0 cat >"$work/seed"
while [ "$(stat -c %s "$work/seed")" -lt 100000000 ]; do
  cat "$work/seed" "$work/seed" >"$work/seed2" && mv "$work/seed2" "$work/seed"
done
head -c 100000000 "$work/seed" >"$work/text"
rm -f "$work/seed"

# One run of a command, its output discarded: prints its wall time in µs.
once() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  echo $((${end/./} - ${start/./}))
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# pairs LABEL PEER-LABEL -- PEER... -- COMMAND...: RUNS pairs of runs.
pairs() {
  local label=$1 peerLabel=$2
  shift 3
  local peer=()
  while [ "$1" != "--" ]; do peer+=("$1"); shift; done
  shift
  : >"$work/a"; : >"$work/b"; : >"$work/r"
  "${peer[@]}" >/dev/null; "$@" >/dev/null  # warm
  local i a b
  for i in $(seq "$runs"); do
    if [ $((i % 2)) -eq 0 ]; then a=$(once "${peer[@]}"); b=$(once "$@")
    else b=$(once "$@"); a=$(once "${peer[@]}"); fi
    echo "$a" >>"$work/a"; echo "$b" >>"$work/b"
    awk -v a="$a" -v b="$b" 'BEGIN { print b / a }' >>"$work/r"
  done
  printf '  %-34s %8.1f ms  %5.2fx %-16s (%s %.1f ms)\n' "$label" "$(median <"$work/b" | awk '{ print $1 / 1000 }')" \
    "$(median <"$work/r")" "$peerLabel" "$peerLabel" "$(median <"$work/a" | awk '{ print $1 / 1000 }')"
  median <"$work/b" >"$work/last"
}

one=$(taskset -pc $$ | sed 's/.*: //; s/[,-].*//')  # the first processor this shell may use
for name in ${FILES:-random text onebyte}; do
  file="$work/$name"
  cat "$file" >/dev/null  # into the page cache
  # The same counts from the file and from a pipe, whichever kernel counted.
  cmp <("$tool" -r "$file" | tail -n +4) <(cat "$file" | "$tool" -r | tail -n +4) ||
    { echo "$name: the report from a pipe differs" >&2; exit 1; }
  threads=$("$kernels" --plan "$file")
  echo
  echo "$name ($(stat -c %s "$file") bytes; the tool counts it on $threads threads), from the file:"
  pairs "octetTally" "wc -l" -- wc -l "$file" -- "$tool" "$file"
  all=$(cat "$work/last")
  pairs "octetTally on 1 thread" "wc -l" -- wc -l "$file" -- taskset -c "$one" "$tool" "$file"
  single=$(cat "$work/last")
  pairs "octetTally -r" "wc -l" -- wc -l "$file" -- "$tool" -r "$file"
  [ -z "$baseline" ] || pairs "baseline octetTally" "wc -l" -- wc -l "$file" -- "$baseline" "$file"
  pairs "cat" "wc -l" -- wc -l "$file" -- cat "$file"
  while read -r number kernelName; do
    pairs "kernel $kernelName, 1 thread" "wc -l" -- wc -l "$file" -- "$kernels" "$number" "$file"
  done < <("$kernels" --list | grep -v -e 'cannot run' -e '^auto' -e '^threads')
  pairs "portable choice, 1 thread" "wc -l" -- wc -l "$file" -- "$kernels" portable "$file"
  awk -v s="$single" -v a="$all" -v t="$threads" 'BEGIN { printf "  from 1 thread to %d: %.2fx as fast\n", t, s / a }'
  echo "$name, from a pipe:"
  pairs "cat f | octetTally" "cat f | wc -l" -- bash -c "cat '$file' | wc -l" -- bash -c "cat '$file' | '$tool'"
  [ -z "$baseline" ] || pairs "cat f | baseline octetTally" "cat f | wc -l" -- bash -c "cat '$file' | wc -l" -- \
    bash -c "cat '$file' | '$baseline'"
  if [ "$name" = random ]; then
    echo "$name, the analyses against the plain count:"
    pairs "octetTally -e" "octetTally" -- "$tool" "$file" -- "$tool" -e "$file"
    pairs "octetTally -b 1M" "octetTally" -- "$tool" "$file" -- "$tool" -b 1M "$file"
    pairs "octetTally -e -b 1M" "octetTally" -- "$tool" "$file" -- "$tool" -e -b 1M "$file"
    pairs "cat f | octetTally -e -b 1M" "cat f | wc -l" -- bash -c "cat '$file' | wc -l" -- \
      bash -c "cat '$file' | '$tool' -e -b 1M"
    [ -z "$baseline" ] || pairs "cat f | baseline octetTally -e -b 1M" "cat f | wc -l" -- \
      bash -c "cat '$file' | wc -l" -- bash -c "cat '$file' | '$baseline' -e -b 1M"
    "$kernels" --order "$file" | sed 's/^/  /'
    peak=$(/usr/bin/time -v "$tool" -e -b 64 "$file" 2>&1 >/dev/null | awk -F: '/Maximum resident/ { gsub(/ /, "", $2); print $2 }')
    echo "  peak memory of octetTally -e -b 64: $peak KiB"
  fi
  peak=$(/usr/bin/time -v "$tool" "$file" 2>&1 >/dev/null | awk -F: '/Maximum resident/ { gsub(/ /, "", $2); print $2 }')
  echo "  peak memory of octetTally: $peak KiB"
done
echo
echo "Load after: $(uptime | sed 's/.*load average: //')"
echo "Medians of $runs paired runs; the ratio is the median of each pair's ratio to its peer. \"kernel\""
echo "rows read the file on one thread, as a pipe is read, and count it with that kernel alone; the"
echo "\"portable choice\" is that of a processor without AVX-512 (multi-table, pair-table for text)."
echo "Bars on 2 cores: at most 1.8x wc -l on random bytes, 1.1x on text, 0.9x on one byte; from a pipe"
echo "no worse than before (0.8x cat f | wc -l). The analyses: -e and -b 1M at most 1.2x the plain count"
echo "on random bytes, and from a pipe at most 1.2x cat f | wc -l."
