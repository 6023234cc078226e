#!/usr/bin/env bash
# blankfill -i against the peer pipeline that also keeps each file's inode,
# `expand -t 4 f > t && cat t > f && rm t`, in one run: on 1,000 files of
# 4 KiB and on one file of about 500 MB, on this machine's disk (not a tmpfs,
# so that the syncs that make the conversion crash-safe cost what they cost).
# Every run starts from fresh copies of the originals. Medians of hyperfine
# runs and their ratios; the bars are 3x on the small files and 1.5x on the
# large one. Then the cost of the two syncs per file: the same runs with the
# syncs made to do nothing, through a preloaded library, in a dynamically
# linked copy of the tool.
#
# Usage: bench/blankfill-inplace.sh   (the release build, built or brought up
# to date here). RUNS=n sets the runs per command (at least 5); BIG_MB the
# size of the large file. WORK=dir puts the files there (default: /var/tmp).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
[ "$runs" -ge 5 ] || runs=5
big_mb=${BIG_MB:-500}

testing/install-deps.sh --bench >/dev/null
command -v cc >/dev/null || { echo "needs a C compiler (cc)" >&2; exit 1; }

[ -f build/release/build.ninja ] || cmake --preset release >/dev/null
cmake --build --preset release --target blankfill blankfill_dynamic -j 2 >/dev/null
tool=$(realpath build/release/blankfill/blankfill)
dynamic=$(realpath build/release/blankfill/blankfill_dynamic)

work=$(mktemp -d "${WORK:-/var/tmp}/blankfill-inplace.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/small.orig" "$work/small" "$work/big"

# A sync that does nothing, to tell what the real ones cost.
cat > "$work/nosync.c" <<'C'
int fsync(int fd) { (void)fd; return 0; }
C
cc -shared -fPIC -o "$work/nosync.so" "$work/nosync.c"

# 1,000 files of 4 KiB and one large file of source-like text with tabs.
awk -v dir="$work/small.orig" 'BEGIN {
  srand(2)
  for (f = 0; f < 1000; f++) {
    name = sprintf("%s/f%04d.c", dir, f); size = 0
    while (size < 4096) {
      line = ""; depth = int(rand() * 3)
      for (i = 0; i < depth; i++) line = line "\t"
      line = line "value" int(rand() * 1000) "\t= " int(rand() * 100) ";\t/* note */"
      print line > name; size += length(line) + 1
    }
    close(name)
  }
}'
cat "$work"/small.orig/* > "$work/unit"
: > "$work/big.orig"
while [ "$(stat -c %s "$work/big.orig")" -lt $((big_mb * 1000000)) ]; do
  cat "$work/unit" "$work/unit" "$work/unit" "$work/unit" >> "$work/big.orig"
done
sync

reset_small="sh -c 'rm -rf $work/small && cp -r $work/small.orig $work/small && sync'"
reset_big="sh -c 'cp $work/big.orig $work/big/f && sync'"
peer_small='cd '"$work"'/small && for f in *.c; do expand -t 4 "$f" > ../t && cat ../t > "$f" && rm ../t; done'
peer_big='cd '"$work"'/big && expand -t 4 f > t && cat t > f && rm t'

median() {  # hyperfine JSON -> median seconds of the n-th command
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][int(sys.argv[2])]["median"])' "$@"
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), disk: $(df -h "$work" | awk 'NR==2 {print $1}')"
hyperfine -N --style none -r "$runs" --prepare "$reset_small" --export-json "$work/small.json" \
  -n "blankfill -i (1,000 x 4 KiB)" "sh -c 'cd $work/small && exec $tool -i *.c'" \
  -n "peer pipeline (1,000 x 4 KiB)" "sh -c '$peer_small'" \
  -n "blankfill -i, no syncs" "sh -c 'cd $work/small && LD_PRELOAD=$work/nosync.so exec $dynamic -i *.c'" \
  -n "blankfill -i, dynamic copy" "sh -c 'cd $work/small && exec $dynamic -i *.c'" >/dev/null
hyperfine -N --style none -r "$runs" --prepare "$reset_big" --export-json "$work/big.json" \
  -n "blankfill -i (${big_mb} MB)" "sh -c 'cd $work/big && exec $tool -i f'" \
  -n "peer pipeline (${big_mb} MB)" "sh -c '$peer_big'" \
  -n "blankfill -i, no syncs" "sh -c 'cd $work/big && LD_PRELOAD=$work/nosync.so exec $dynamic -i f'" \
  -n "blankfill -i, dynamic copy" "sh -c 'cd $work/big && exec $dynamic -i f'" >/dev/null

# The converted files must be what expand makes of them.
sh -c "rm -rf $work/small && cp -r $work/small.orig $work/small"; (cd "$work/small" && "$tool" -i *.c 2>/dev/null)
for f in "$work"/small.orig/*.c; do
  expand -t 4 "$f" | cmp -s - "$work/small/$(basename "$f")" || { echo "output differs for $f" >&2; exit 1; }
done

python3 - "$work/small.json" "$work/big.json" <<'PY'
import json, sys
for path, bar, files in ((sys.argv[1], 3.0, 1000), (sys.argv[2], 1.5, 1)):
    r = [x["median"] for x in json.load(open(path))["results"]]
    tool, peer, nosync, dyn = r
    print(f"{'1,000 small files' if files > 1 else 'one large file':18}  blankfill {tool:8.3f} s  peer {peer:8.3f} s  "
          f"ratio {tool / peer:5.2f} (bar {bar})  {'met' if tool / peer <= bar else 'NOT MET'}")
    print(f"{'':18}  the two syncs: {(dyn - nosync) / files * 1000:.3f} ms per file "
          f"(dynamic copy {dyn:.3f} s, without syncs {nosync:.3f} s)")
PY
