#!/usr/bin/env bash
# Times octetTally against `wc -l` (a reader that runs at memory speed) on
# three 1 GiB files held in the page cache: random bytes, one repeated byte,
# and ordinary text. Prints the median times, the ratios to `wc -l`, and the
# tool's peak memory.
#
# Usage: bench/octetTally.sh [PATH-TO-octetTally]
# Default path: build/release/octetTally/octetTally (built if missing).
set -euo pipefail
cd "$(dirname "$0")/.."

tool=${1:-build/release/octetTally/octetTally}
runs=${RUNS:-10}
size=${SIZE:-$((1024 * 1024 * 1024))}  # bytes per file; smaller for a trial run

if [ ! -x "$tool" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target octetTally -j 2
fi
tool=$(realpath "$tool")

need_apt=()
command -v hyperfine >/dev/null 2>&1 || need_apt+=(hyperfine)
[ -x /usr/bin/time ] || need_apt+=(time)
if [ ${#need_apt[@]} -gt 0 ]; then
  apt-get update -qq && apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

work=$(mktemp -d /tmp/octetTally-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

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

median() {  # CSV from hyperfine: command,mean,stddev,median,...
  awk -F, 'NR > 1 { print $4 }' "$1"
}

printf '\n%-8s %14s %14s %14s %8s %8s %12s\n' file "wc -l (s)" "default (s)" "-r (s)" ratio "-r ratio" "peak KiB"
for name in random onebyte text; do
  file="$work/$name"
  cat "$file" > /dev/null   # into the page cache
  hyperfine -N --warmup 1 --runs "$runs" --style none \
    --export-csv "$work/$name.csv" \
    "wc -l $file" "$tool $file" "$tool -r $file" >/dev/null 2>"$work/hyperfine.log" \
    || { cat "$work/hyperfine.log" >&2; exit 1; }
  mapfile -t med < <(median "$work/$name.csv")
  peak=$(/usr/bin/time -v "$tool" "$file" 2>&1 >/dev/null | awk -F: '/Maximum resident/ { gsub(/ /, "", $2); print $2 }')
  awk -v n="$name" -v w="${med[0]}" -v d="${med[1]}" -v r="${med[2]}" -v p="$peak" \
    'BEGIN { printf "%-8s %14.4f %14.4f %14.4f %7.2fx %7.2fx %12d\n", n, w, d, r, d / w, r / w, p }'
done
echo
echo "Medians of $runs runs each; ratios are octetTally's time over wc -l's on the same file."
echo "Bar: ratio at most 4.0 on every file; peak memory under 4096 KiB."
