#!/usr/bin/env bash
# Start-up overhead of the command timer: times /usr/bin/true bare, under
# lapwatch and under /usr/bin/time in one hyperfine run, and prints each
# timer's overhead over the bare command (medians).
# Usage: bench/lapwatch.sh [path/to/lapwatch]   (default: build/release/lapwatch/lapwatch)
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/release/lapwatch/lapwatch}
runs=${RUNS:-300}

testing/install-deps.sh --bench
command -v /usr/bin/time >/dev/null || { apt-get install -y -q time; }
[ -x "$tool" ] || { cmake --preset release >/dev/null && cmake --build --preset release --target lapwatch; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
hyperfine -N --warmup 20 --runs "$runs" --export-json "$out/r.json" \
  -n bare '/usr/bin/true' \
  -n lapwatch "$tool /usr/bin/true" \
  -n time '/usr/bin/time -f %e /usr/bin/true' >/dev/null 2>&1

python3 - "$out/r.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
bare = r["bare"]["median"] * 1e3
print(f"{'command':<10} {'median ms':>10} {'overhead ms':>12}")
for name in ("bare", "lapwatch", "time"):
    m = r[name]["median"] * 1e3
    print(f"{name:<10} {m:>10.3f} {m - bare:>12.3f}")
lw = r["lapwatch"]["median"] * 1e3 - bare
tm = r["time"]["median"] * 1e3 - bare
print(f"lapwatch overhead / time overhead = {lw / tm:.2f}")
PY
