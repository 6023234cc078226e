#!/usr/bin/env bash
# Start-up cost. In one hyperfine run (-N, no shell in between): /usr/bin/true
# bare, under lapwatch and under /usr/bin/time, and each of the four tools on a
# 10-byte input. Prints medians, each timer's overhead over the bare command,
# and lapwatch's overhead as a share of /usr/bin/time's (bar: at most 0.75).
# A shared machine's load drifts while one run goes from command to command,
# so the run is repeated; each figure is the median over the rounds of the
# rounds' medians (the shares: the median of the rounds' shares).
#
# Then lapwatch's series against hyperfine -N, on the same commands in one
# run, alternating the two timers for SERIES_ROUNDS rounds (default 5) and
# quoting the median over the rounds of each figure:
#   /usr/bin/true, 500 runs (5 warm-ups): each timer's mean and standard
#     deviation, and the wall time each takes for the whole series;
#   sleep 0.05, 30 runs: each mean's distance from 50 ms;
#   dd with a 64 MiB buffer: lapwatch -r's peak memory against that of
#     /usr/bin/time -v (its maximum resident set size).
# Usage: bench/lapwatch.sh [build folder | path/to/lapwatch]   (default: build/release)
#   COMPARE=path/to/another/lapwatch adds a row for that build (before/after).
#   RUNS=n sets the runs per command and round (default 100), ROUNDS=n the
#   rounds (default 11). PART=startup or PART=series runs only that part.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
if [ -f "$build" ]; then build=$(dirname "$(dirname "$build")"); fi
runs=${RUNS:-100}
rounds=${ROUNDS:-11}
series_rounds=${SERIES_ROUNDS:-5}
part=${PART:-all}

testing/install-deps.sh --bench
command -v /usr/bin/time >/dev/null || { apt-get install -y -q time; }
if [ "$build" = build/release ] && [ ! -x build/release/lapwatch/lapwatch ]; then
  cmake --preset release >/dev/null && cmake --build --preset release
fi
lapwatch=$build/lapwatch/lapwatch
for tool in octetTally morphPhrase blankfill lapwatch; do
  [ -x "$build/$tool/$tool" ] || { echo "missing $build/$tool/$tool" >&2; exit 1; }
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
printf 'a\tb c\td\te\n' > "$out/ten"   # 10 bytes
compare=()
if [ -n "${COMPARE:-}" ]; then compare=(-n compare "$COMPARE /usr/bin/true"); fi

echo "load: $(uptime)"
if [ "$part" != series ]; then
for t in octetTally morphPhrase blankfill lapwatch; do
  printf '%-12s %s\n' "$t" "$(ldd "$build/$t/$t" 2>&1 | head -1 | sed 's/^[[:space:]]*//')"
done
for round in $(seq "$rounds"); do
hyperfine -N --warmup 5 --runs "$runs" --export-json "$out/r$round.json" \
  -n bare '/usr/bin/true' \
  -n lapwatch "$lapwatch /usr/bin/true" \
  -n time '/usr/bin/time -f %e /usr/bin/true' \
  "${compare[@]}" \
  -n octetTally "$build/octetTally/octetTally $out/ten" \
  -n blankfill "$build/blankfill/blankfill $out/ten" \
  -n morphPhrase "$build/morphPhrase/morphPhrase hi" >/dev/null 2>&1
done

python3 - "$out"/r*.json <<'PY'
import json, statistics, sys
rounds = [{x["command"]: x["median"] * 1e3 for x in json.load(open(f))["results"]} for f in sys.argv[1:]]
med = lambda name: statistics.median(r[name] for r in rounds)
print(f"{len(rounds)} rounds")
print(f"{'command':<12} {'median ms':>10} {'over bare ms':>13}")
for name in ("bare", "lapwatch", "time", "compare", "octetTally", "blankfill", "morphPhrase"):
    if name in rounds[0]:
        print(f"{name:<12} {med(name):>10.3f} {med(name) - med('bare'):>13.3f}")
for name in ("lapwatch", "compare"):
    if name in rounds[0]:
        shares = [(r[name] - r["bare"]) / (r["time"] - r["bare"]) for r in rounds]
        share = statistics.median(shares)
        bar = "  (bar 0.75: " + ("met" if share <= 0.75 else "NOT met") + ")" if name == "lapwatch" else ""
        print(f"{name} overhead / time overhead = {share:.2f}{bar}  rounds: "
              + " ".join(f"{s:.2f}" for s in shares))
PY
fi

[ "$part" = startup ] && exit 0

# The series. Each timer's whole series is timed from outside, by the clock
# of this shell's date.
now() { date +%s.%N; }
echo
echo "series: lapwatch -n/-w/--json against hyperfine -N --runs/--warmup/--export-json, $series_rounds rounds"
for round in $(seq "$series_rounds"); do
  t0=$(now)
  "$lapwatch" -q -n 500 -w 5 --json "$out/lt$round.json" /usr/bin/true 2>/dev/null
  t1=$(now)
  hyperfine -N --style none --warmup 5 --runs 500 --export-json "$out/ht$round.json" /usr/bin/true >/dev/null 2>&1
  t2=$(now)
  echo "$t0 $t1 $t2" > "$out/whole$round"
  "$lapwatch" -q -n 30 --json "$out/ls$round.json" sleep 0.05 2>/dev/null
  hyperfine -N --style none --runs 30 --export-json "$out/hs$round.json" 'sleep 0.05' >/dev/null 2>&1
  "$lapwatch" -r -n 1 --json "$out/lm$round.json" dd if=/dev/zero of=/dev/null bs=64M count=1 2>/dev/null
  /usr/bin/time -v dd if=/dev/zero of=/dev/null bs=64M count=1 2>"$out/tm$round.txt"
done

python3 - "$out" "$series_rounds" <<'PY'
import json, re, statistics, sys
out, rounds = sys.argv[1], int(sys.argv[2])
med = statistics.median
def lw(name, r): return json.load(open(f"{out}/{name}{r}.json"))
rows = []
for r in range(1, rounds + 1):
    lt, ht = lw("lt", r)["commands"][0], lw("ht", r)["results"][0]
    t0, t1, t2 = map(float, open(f"{out}/whole{r}").read().split())
    ls, hs = lw("ls", r)["commands"][0], lw("hs", r)["results"][0]
    peak = lw("lm", r)["runs"][0]["peak_memory_kib"]
    timev = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", open(f"{out}/tm{r}.txt").read()).group(1))
    rows.append(dict(lmean=lt["mean"], lsd=lt["stddev"], hmean=ht["mean"], hsd=ht["stddev"],
                     lwhole=t1 - t0, hwhole=t2 - t1,
                     lsleep=ls["mean"] - 0.05, hsleep=hs["mean"] - 0.05, lpeak=peak, tpeak=timev))
m = {k: med(row[k] for row in rows) for k in rows[0]}
us = lambda s: f"{s * 1e6:9.1f} us"
print(f"true, 500 runs:     lapwatch mean {us(m['lmean'])} sd {us(m['lsd'])}   hyperfine mean {us(m['hmean'])} sd {us(m['hsd'])}")
print(f"                    means lapwatch/hyperfine {m['lmean'] / m['hmean']:.2f}, deviations {m['lsd'] / m['hsd']:.2f}")
print(f"whole series:       lapwatch {m['lwhole']:.3f} s   hyperfine {m['hwhole']:.3f} s   ratio {m['lwhole'] / m['hwhole']:.2f}")
print(f"sleep 0.05, 30 runs: mean - 50 ms: lapwatch {us(m['lsleep'])}   hyperfine {us(m['hsleep'])}")
print(f"dd bs=64M peak:     lapwatch -r {m['lpeak']:.0f} KiB   /usr/bin/time -v {m['tpeak']:.0f} KiB")
print("rounds (lapwatch mean/sd, hyperfine mean/sd, us; whole series s):")
for row in rows:
    print(f"  {row['lmean']*1e6:.1f}/{row['lsd']*1e6:.1f}  {row['hmean']*1e6:.1f}/{row['hsd']*1e6:.1f}  "
          f"{row['lwhole']:.3f} {row['hwhole']:.3f}")
PY
