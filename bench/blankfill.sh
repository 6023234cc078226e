#!/usr/bin/env bash
# blankfill against GNU expand on about 500 MB of generated source-like text
# (lines of about 60 bytes with leading and inner tabs), in the page cache:
# every tab (blankfill vs expand -t 4) and leading tabs only (blankfill -l vs
# expand -i -t 4), with input redirected from the file to /dev/null and to a
# file, from a pipe (cat f |) and from the file named as an operand, with
# the floors of cat in the same run. Medians of hyperfine runs and their
# ratios against expand; the bars: at most 0.2 to /dev/null, 0.42 to a file,
# 0.3 from a pipe. Then -u (display widths): within 1.1 of the byte mode on
# the same ASCII text, and no slower than expand on text with one character
# in twenty not ASCII. Then the peak memory of filter mode on a 1 GiB file
# without a newline. Then --check: over 20,000 generated source files (half
# of them with tabs) within 1.5 times grep -c with a tab pattern over the
# same list, and on the 500 MB file within the filter's own time to
# /dev/null.
#
# Usage: bench/blankfill.sh [path to blankfill]   (default: the release build,
# built or brought up to date here). RUNS=n sets the runs per command (at least 5);
# ONLY=check runs the --check part alone.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-7}
[ "$runs" -ge 5 ] || runs=5

# Tools from Debian's packages, installed when missing.
need=()
command -v hyperfine >/dev/null || need+=(hyperfine)
[ -x /usr/bin/time ] || need+=(time)
command -v expand >/dev/null || need+=(coreutils)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q "${need[@]}"
fi

if [ $# -ge 1 ]; then
  tool=$1
else
  # The release build, brought up to date so that no stale binary is timed.
  [ -f build/release/build.ninja ] || cmake --preset release >/dev/null
  cmake --build --preset release --target blankfill -j 2 >/dev/null
  tool=build/release/blankfill/blankfill
fi
tool=$(realpath "$tool")

work=$(mktemp -d /tmp/blankfill-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# About 10 MB of varied lines, repeated to about 500 MB.
awk 'BEGIN {
  srand(1)
  n = split("int return if else for while static const char value count buffer size_t struct (x) { } = += 0; i++ ptr->next a[i] && || NULL /* */", w, " ")
  total = 0
  while (total < 10000000) {
    line = ""
    depth = int(rand() * 4)
    for (i = 0; i < depth; i++) line = line "\t"
    want = 40 + int(rand() * 30)
    body = ""
    while (length(body) < want) body = body (body == "" ? "" : " ") w[1 + int(rand() * n)]
    if (rand() < 0.5) body = body "\t" (rand() < 0.5 ? "/* note */" : "\t= 1;")
    line = line body
    print line
    total += length(line) + 1
  }
}' > "$work/chunk"
for _ in $(seq 50); do cat "$work/chunk"; done > "$work/input"
echo "input: $(stat -c %s "$work/input") bytes, $(wc -l < "$work/input") lines"

# The processor, and the scanning kernel that the filter takes on it (the widest its flags allow).
flags=$(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null || true)
kernel=portable
case "$(uname -m)" in x86_64) kernel=sse2 ;; esac
case " $flags " in *" avx2 "*) kernel=avx2 ;; esac
case " $flags " in *" avx512bw "*) kernel=avx512bw ;; esac
echo "processor: $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2- | sed 's/^ //')"
echo "vector flags: $(echo "$flags" | tr ' ' '\n' | grep -E '^(sse2|avx2|avx512f|avx512bw)$' | tr '\n' ' ')"
echo "kernel: $kernel"
echo "load: $(uptime | sed 's/.*load average/load average/')"

# Same output as the oracle before anything is timed, on each input path.
for path in file pipe; do
  for mode in "" -l; do
    want=$([ -z "$mode" ] && echo "expand -t 4" || echo "expand -i -t 4")
    if [ $path = file ]; then
      cmp <("$tool" $mode < "$work/chunk") <($want < "$work/chunk")
    else
      cmp <(cat "$work/chunk" | "$tool" $mode) <($want < "$work/chunk")
    fi
  done
done
echo "output identical to expand -t 4 and expand -i -t 4, from a file and from a pipe"

in=$work/input
out=$work/out

# The commands of a hyperfine CSV taken in pairs, each against the one after
# it: their medians, the ratio and whether it is within its bar.
# Usage: pairRatios CSV NAME_WIDTH "BAR..." "NAME|..."; fails when one is above.
pairRatios() {
  awk -F, -v width="$2" -v bars="$3" -v names="$4" '
    NR == 1 { next }
    { median[NR - 1] = $4 }
    END {
      pairs = split(bars, bar, " ")
      split(names, name, "|")
      failed = 0
      for (p = 0; p < pairs; p++) {
        a = median[2 * p + 1]; b = median[2 * p + 2]; r = a / b
        ok = r <= bar[p + 1] ? "ok" : "ABOVE BAR"
        if (r > bar[p + 1]) failed = 1
        printf "  %-*s %.3f against %.3f  ratio %.3f (bar %s) %s\n", width, name[p + 1], a, b, r, bar[p + 1], ok
      }
      exit failed
    }' "$1"
}
if [ "${ONLY:-}" != check ]; then
hyperfine --style basic --warmup 1 --runs "$runs" --export-csv "$work/times.csv" \
  "'$tool' < '$in' > /dev/null" \
  "expand -t 4 < '$in' > /dev/null" \
  "'$tool' -l < '$in' > /dev/null" \
  "expand -i -t 4 < '$in' > /dev/null" \
  "'$tool' < '$in' > '$out'" \
  "expand -t 4 < '$in' > '$out'" \
  "'$tool' -l < '$in' > '$out'" \
  "expand -i -t 4 < '$in' > '$out'" \
  "cat '$in' | '$tool' > /dev/null" \
  "cat '$in' | expand -t 4 > /dev/null" \
  "cat '$in' | '$tool' -l > /dev/null" \
  "cat '$in' | expand -i -t 4 > /dev/null" \
  "'$tool' '$in' > /dev/null" \
  "expand -t 4 '$in' > /dev/null" \
  "'$tool' -l '$in' > /dev/null" \
  "expand -i -t 4 '$in' > /dev/null" \
  "cat '$in' > /dev/null" \
  "cat '$in' > '$out'" \
  "cat '$in' | cat > /dev/null"

echo
echo "medians (s) and ratios, blankfill / expand, and blankfill / the cat floor;"
echo "the cpu ratio (mean user and system time, blankfill / expand) shows how much a loaded machine moved the medians"
# The CSV rows come in the order above: command,mean,stddev,median,...
awk -F, '
  NR == 1 { next }
  { median[NR - 1] = $4; cpu[NR - 1] = $5 + $6 }
  END {
    split("every tab, to /dev/null|leading only, to /dev/null|every tab, to a file|leading only, to a file|" \
          "every tab, from a pipe|leading only, from a pipe|every tab, file operand|leading only, file operand", name, "|")
    split("0.2 0.2 0.42 0.42 0.3 0.3 0.2 0.2", bar, " ")
    split("17 17 18 18 19 19 17 17", floor, " ")
    printf "  cat floors: to /dev/null %.3f  to a file %.3f  through a pipe %.3f\n", median[17], median[18], median[19]
    failed = 0
    for (p = 0; p < 8; p++) {
      b = median[2 * p + 1]; e = median[2 * p + 2]; r = b / e; f = b / median[floor[p + 1]]
      ok = r <= bar[p + 1] ? "ok" : "ABOVE BAR"
      if (r > bar[p + 1]) failed = 1
      printf "  %-28s blankfill %.3f  expand %.3f  ratio %.3f (bar %s) %-9s  %.2f x cat  cpu ratio %.3f\n", \
        name[p + 1], b, e, r, bar[p + 1], ok, f, cpu[2 * p + 1] / cpu[2 * p + 2]
    }
    exit failed
  }' "$work/times.csv" || status=1

# Display widths (-u). On the same ASCII text they must cost at most 10 % over
# the byte mode; on text where about one character in twenty is not ASCII
# (every seventeenth byte of a line, unless it is a tab, becomes one of four
# characters of two to four bytes; the tabs and the bytes of the characters
# bring it to about one in twenty) no more than expand in its byte mode on
# the same text.
LC_ALL=C awk 'BEGIN { n = split("\303\251 \347\225\214 \360\237\230\200 \303\274", other, " ") }
  { line = ""; from = 1
    for (i = 17; i <= length($0); i += 17) {
      c = substr($0, i, 1)
      if (c != "\t") { line = line substr($0, from, i - from) other[1 + (k++ % n)]; from = i + 1 }
    }
    print line substr($0, from) }' "$work/chunk" > "$work/mixedchunk"
for _ in $(seq 50); do cat "$work/mixedchunk"; done > "$work/mixed"
cmp <("$tool" -u < "$in") <("$tool" < "$in")
cmp <("$tool" -u -l < "$in") <("$tool" -l < "$in")
echo
echo "-u: output identical to the byte mode on ASCII; mixed text: $(stat -c %s "$work/mixed") bytes," \
  "$(LC_ALL=C.UTF-8 wc -m < "$work/mixed") characters, $(LC_ALL=C tr -d '\000-\177' < "$work/mixed" | LC_ALL=C.UTF-8 wc -m) not ASCII"
mixed=$work/mixed
hyperfine --style basic --warmup 1 --runs "$runs" --export-csv "$work/utf8.csv" \
  "'$tool' -u < '$in' > /dev/null" \
  "'$tool' < '$in' > /dev/null" \
  "'$tool' -u -l < '$in' > /dev/null" \
  "'$tool' -l < '$in' > /dev/null" \
  "'$tool' -u < '$mixed' > /dev/null" \
  "LC_ALL=C expand -t 4 < '$mixed' > /dev/null" \
  "'$tool' -u -l < '$mixed' > /dev/null" \
  "LC_ALL=C expand -i -t 4 < '$mixed' > /dev/null"
echo
echo "medians (s) and ratios with -u: against the byte mode on ASCII, against expand on mixed text"
pairRatios "$work/utf8.csv" 38 "1.1 1.1 1.0 1.0" \
  "ASCII, every tab, -u / byte mode|ASCII, leading only, -u / byte mode|mixed, every tab, -u / expand|mixed, leading only, -u / expand" ||
  status=1
rm -f "$work/mixed" "$work/mixedchunk"
fi

# --check. A tree of 20,000 source files of 20 to 80 lines from the same
# lines, half of them with their tabs (file numbers even) and half with
# spaces in their place; the list of names is handed to both tools by xargs
# alike. --check exits 1 (lines would change), which hyperfine is told to
# accept. Then --check on the 500 MB file, whose lines nearly all change,
# against the filter to /dev/null.
mkdir "$work/tree"
awk -v dir="$work/tree" '
  { line[NR] = $0 }
  END {
    srand(2)
    k = 1
    for (f = 0; f < 20000; f++) {
      name = sprintf("%s/d%02d/f%05d.c", dir, f % 100, f)
      if (f < 100) system("mkdir -p " dir sprintf("/d%02d", f))
      n = 20 + int(rand() * 61)
      for (i = 0; i < n; i++) {
        l = line[k]; k = k % NR + 1
        if (f % 2) gsub(/\t/, "    ", l)
        print l > name
      }
      close(name)
    }
  }' "$work/chunk"
(cd "$work/tree" && find . -name '*.c' -print0 | sort -z) > "$work/list"
files=$(tr -cd '\0' < "$work/list" | wc -c)
with=$(cd "$work/tree" && xargs -0 -a "$work/list" grep -l "$(printf '\t')" | wc -l)
echo
echo "--check: $files files, $with with tabs, $(du -sb "$work/tree" | cut -f1) bytes"
# The same verdict as grep on the tree: the files --check names are those with a tab.
cmp <(cd "$work/tree" && xargs -0 -a "$work/list" "$tool" --check 2>/dev/null | cut -d: -f1 | uniq) \
    <(cd "$work/tree" && xargs -0 -a "$work/list" grep -l "$(printf '\t')")
tab=$(printf '\t')
hyperfine --style basic --warmup 1 --runs "$runs" --ignore-failure --export-csv "$work/check.csv" \
  "cd '$work/tree' && xargs -0 -a '$work/list' '$tool' --check > /dev/null 2>&1" \
  "cd '$work/tree' && xargs -0 -a '$work/list' grep -c '$tab' > /dev/null" \
  "'$tool' --check '$in' > /dev/null 2>&1" \
  "'$tool' < '$in' > /dev/null"
echo
echo "medians (s) and ratios with --check: against grep -c on the tree, against the filter on 500 MB"
pairRatios "$work/check.csv" 44 "1.5 1.0" \
  "tree of 20,000 files, --check / grep -c|500 MB file, --check / filter to /dev/null" || status=1
rm -rf "$work/tree"

# Peak memory on one line of 1 GiB: the filter holds no line in memory.
# (yes ends on SIGPIPE when head has enough, so this pipeline's status is not looked at.)
{ yes "$(printf 'ab\tcdefg')" | tr -d '\n' | head -c 1073741824 > "$work/oneline"; } || true
rm -f "$work/input" "$work/out"
echo
echo "peak memory on a 1 GiB file without a newline (bar: under 4 MiB for blankfill)"
for command in "$tool" "$tool -l" "expand -t 4"; do
  kb=$(/usr/bin/time -v $command < "$work/oneline" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }')
  printf "  %-40s %6d KiB\n" "${command/#$tool/blankfill}" "$kb"
done
exit ${status:-0}
