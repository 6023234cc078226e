#!/usr/bin/env bash
# Times octetTally against `wc -l` (a reader that runs at memory speed) and
# `cat` on three files held in the page cache (1 GiB each by default): random
# bytes, ordinary text and one repeated byte; by count and with -r, from the
# file and from a pipe. Each counting kernel is also timed on its own,
# through bench/countBytesBench.cpp, which reads the file as the tool does and
# counts it with the kernel named, so that the choices of processors without
# AVX-512 are measured here too. Prints the processor's flags, the kernel the
# tool chose, the medians, the ratios to the peers measured in the same run,
# and the tool's peak memory.
#
# Usage: bench/octetTally.sh [PATH-TO-octetTally [PATH-TO-countBytes_bench]]
# Defaults: build/release/octetTally/octetTally and
# build/bench/bench/countBytes_bench (built if missing).
# RUNS (default 10) and SIZE (bytes per file) may be set in the environment.
set -euo pipefail
cd "$(dirname "$0")/.."

tool=${1:-build/release/octetTally/octetTally}
kernels=${2:-build/bench/bench/countBytes_bench}
runs=${RUNS:-10}
size=${SIZE:-$((1024 * 1024 * 1024))}

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

need_apt=()
command -v hyperfine >/dev/null 2>&1 || need_apt+=(hyperfine)
[ -x /usr/bin/time ] || need_apt+=(time)
if [ ${#need_apt[@]} -gt 0 ]; then
  apt-get update -qq && apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

work=$(mktemp -d /tmp/octetTally-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "Processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "Flags: $(grep -m1 -ow -E 'sse4_2|avx2|bmi2|avx512f|avx512bw|avx512vl|avx512vbmi|avx512_vbmi2|avx512_bitalg|avx512_vpopcntdq|gfni' /proc/cpuinfo | sort -u | tr '\n' ' ')"
"$kernels" --list | sed 's/^/Kernel /'
echo "Load before: $(uptime | sed 's/.*load average: //')"

echo "Making three files of $size bytes in $work ..."
head -c "$size" /dev/urandom > "$work/random"
head -c "$size" /dev/zero > "$work/onebyte"
# Ordinary text: the system's licence texts (or a generated paragraph)
# repeated to the size.
{ cat /usr/share/common-licenses/* 2>/dev/null || true; } > "$work/seed"
if [ ! -s "$work/seed" ]; then
  for i in $(seq 1 2000); do
    echo "Line $i: the quick brown fox jumps over the lazy dog, and then it rests a while."
  done > "$work/seed"
fi
while [ "$(stat -c %s "$work/seed")" -lt $((64 * 1024 * 1024)) ]; do
  cat "$work/seed" "$work/seed" > "$work/seed2" && mv "$work/seed2" "$work/seed"
done
reps=$(( size / $(stat -c %s "$work/seed") + 1 ))
# The writers stop on a broken pipe once head has enough; that is expected.
{ for _ in $(seq "$reps"); do cat "$work/seed"; done | head -c "$size" > "$work/text"; } 2>/dev/null || true
[ "$(stat -c %s "$work/text")" -eq "$size" ] || { echo "could not make the text file" >&2; exit 1; }
rm -f "$work/seed"

# Prints one row per command of a hyperfine CSV (command,mean,stddev,median,
# user,system,...): the median, its ratio to the first command's median, and
# the mean processor time (user + system).
report() {
  sed "s|$work/||g; s|$tool|octetTally|g; s|$kernels|kernel|g" "$1" | awk -F, 'NR == 2 { base = $4 }
    NR > 1 { printf "  %-40s %9.4f s %7.2fx   cpu %7.4f s\n", $1, $4, $4 / base, $5 + $6 }'
}

hyper() {  # CSV-FILE [hyperfine options and commands...]
  local csv=$1
  shift
  hyperfine --warmup 1 --runs "$runs" --style none --export-csv "$csv" "$@" \
    >/dev/null 2>"$work/hyperfine.log" || { cat "$work/hyperfine.log" >&2; exit 1; }
}

for name in random text onebyte; do
  file="$work/$name"
  cat "$file" > /dev/null   # into the page cache
  # The same counts from the file and from a pipe, whichever kernel counted.
  cmp <("$tool" -r "$file" | tail -n +4) <(cat "$file" | "$tool" -r | tail -n +4) \
    || { echo "$name: the report from a pipe differs" >&2; exit 1; }
  kernelRuns=()
  while read -r number _; do
    kernelRuns+=("$kernels $number $file")
  done < <("$kernels" --list | grep -v -e 'cannot run' -e '^auto')
  echo
  echo "$name, from the file (ratios to wc -l):"
  hyper "$work/$name-file.csv" -N "wc -l $file" "cat $file" "$tool $file" "$tool -r $file" \
    "${kernelRuns[@]}" "$kernels portable $file"
  report "$work/$name-file.csv"
  echo "$name, from a pipe (ratios to cat f | wc -l):"
  hyper "$work/$name-pipe.csv" "cat $file | wc -l" "cat $file | cat > /dev/null" \
    "cat $file | $tool > /dev/null" "cat $file | $tool -r > /dev/null"
  report "$work/$name-pipe.csv"
  peak=$(/usr/bin/time -v "$tool" "$file" 2>&1 >/dev/null | awk -F: '/Maximum resident/ { gsub(/ /, "", $2); print $2 }')
  echo "  peak memory of octetTally: $peak KiB"
done
echo
echo "Load after: $(uptime | sed 's/.*load average: //')"
echo "Medians of $runs runs; cpu is the mean user + system time. \"kernel N\" reads the file as the"
echo "tool does and counts it with kernel N alone; \"kernel portable\" makes the choice of a processor"
echo "without AVX-512 (multi-table, pair-table for blocks that look like text)."
echo "Bars with AVX-512: at most 2.0x wc -l on random bytes and on text; otherwise 3.4x (random) and"
echo "2.6x (text); at most 1.1x on one byte; at most 0.8x cat f | wc -l from a pipe."
