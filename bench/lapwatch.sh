#!/usr/bin/env bash
# Start-up cost. In one hyperfine run (-N, no shell in between): /usr/bin/true
# bare, under lapwatch and under /usr/bin/time, and each of the four tools on a
# 10-byte input. Prints medians, each timer's overhead over the bare command,
# and lapwatch's overhead as a share of /usr/bin/time's (bar: at most 0.75).
# A shared machine's load drifts while one run goes from command to command,
# so the run is repeated; each figure is the median over the rounds of the
# rounds' medians (the shares: the median of the rounds' shares).
# Usage: bench/lapwatch.sh [build folder | path/to/lapwatch]   (default: build/release)
#   COMPARE=path/to/another/lapwatch adds a row for that build (before/after).
#   RUNS=n sets the runs per command and round (default 100), ROUNDS=n the
#   rounds (default 11).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
if [ -f "$build" ]; then build=$(dirname "$(dirname "$build")"); fi
runs=${RUNS:-100}
rounds=${ROUNDS:-11}

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
