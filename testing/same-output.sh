#!/usr/bin/env bash
# Runs the tools of each build folder named on the command line on one
# corpus made here (random and text bytes, tabs with backspaces and carriage
# returns), in every blankfill option set, from files, through pipes and in
# place, octetTally in both formats and with every analysis, and
# morphPhrase's report lines that do not depend on its random tries; then
# compares every output of every build
# with the first build's, byte for byte. Foreign builds run through qemu-user
# where the kernel knows it (install-deps.sh --cross).
#   testing/same-output.sh build/ci build/cross-aarch64 build/cross-s390x ...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR BUILD_DIR..." >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpus=$work/corpus
mkdir "$corpus"

# The corpus: random bytes, source-like text with tabs, text with
# backspaces and carriage returns before tabs, long lines, no final newline,
# one repeated byte, an empty file.
head -c 3000000 /dev/urandom > "$corpus/random"
awk 'BEGIN { srand(7); for (i = 0; i < 60000; i++) {
        line = ""; n = int(rand() * 6); for (j = 0; j < n; j++) line = line "\t";
        w = int(rand() * 12); for (j = 0; j < w; j++) line = line sprintf("%c", 97 + int(rand() * 26));
        if (rand() < 0.5) line = line "\t/* x */"; if (rand() < 0.1) line = line "  \t\t;";
        print line } }' > "$corpus/text"
awk 'BEGIN { srand(11); for (i = 0; i < 20000; i++) {
        line = ""; n = int(rand() * 10);
        for (j = 0; j < n; j++) { r = rand(); line = line (r < 0.3 ? "\t" : r < 0.45 ? "\b" : r < 0.55 ? "\r" : r < 0.65 ? " " : "ab") }
        printf "%s%s", line, (rand() < 0.9 ? "\n" : "") } }' > "$corpus/controls"
head -c 200000 /dev/zero | tr '\0' '\t' | fold -w 4097 > "$corpus/long-lines"
printf 'a\tb\n\tno final newline\t' > "$corpus/unterminated"
head -c 1000000 /dev/zero | tr '\0' 'x' > "$corpus/one-byte"
: > "$corpus/empty"

# run_build DIR OUT: every output of the build in DIR into the folder OUT.
run_build() {
    local build out=$2 octet blank morph
    build=$(cd "$1" && pwd)  # the in-place runs work in the output folder
    octet=$build/octetTally/octetTally
    blank=$build/blankfill/blankfill
    morph=$build/morphPhrase/morphPhrase
    mkdir -p "$out"
    for f in "$corpus"/*; do
        local name; name=$(basename "$f")
        "$octet" "$f" > "$out/$name.tally" 2>&1 || echo "status $?" >> "$out/$name.tally"
        "$octet" -r "$f" > "$out/$name.tally-r" 2>&1 || echo "status $?" >> "$out/$name.tally-r"
        cat "$f" | "$octet" > "$out/$name.tally-pipe" 2>&1 || echo "status $?" >> "$out/$name.tally-pipe"
        "$octet" "$f" "$out/$name.tally-file" 2>&1 || echo "status $?" >> "$out/$name.tally-file"
        # Every statistic, the blocks' entropies, a part, and the JSON document.
        "$octet" -e -b 64K "$f" > "$out/$name.tally-e" 2>&1 || echo "status $?" >> "$out/$name.tally-e"
        cat "$f" | "$octet" -c -b 1000 --offset 77 > "$out/$name.tally-blocks" 2>&1 \
            || echo "status $?" >> "$out/$name.tally-blocks"
        (cd "$corpus" && "$octet" -j -b 4K --length 1M "$name") > "$out/$name.tally-json" 2>&1 \
            || echo "status $?" >> "$out/$name.tally-json"
        for options in "" "-n8" "-n 1" "-l" "-l -n3" "-n100"; do
            local tag=${options// /}
            # shellcheck disable=SC2086
            "$blank" $options "$f" > "$out/$name.blank$tag" 2>&1 || echo "status $?" >> "$out/$name.blank$tag"
            # shellcheck disable=SC2086
            cat "$f" | "$blank" $options > "$out/$name.blank-pipe$tag" 2>&1 || echo "status $?" >> "$out/$name.blank-pipe$tag"
            cp "$f" "$out/$name.inplace$tag"
            # shellcheck disable=SC2086
            (cd "$out" && "$blank" -i -V $options "$name.inplace$tag" > "$name.inplace$tag.report" 2>&1) \
                || echo "status $?" >> "$out/$name.inplace$tag.report"
        done
        BLANKFILL_SPACING=6 "$blank" "$f" > "$out/$name.blank-env" 2>&1 || echo "status $?" >> "$out/$name.blank-env"
    done
    # morphPhrase: everything but the tries, which come from the clock's seed.
    for phrase in "hello world" "The quick brown fox jumps over the lazy dog" "a" "x1!y"; do
        "$morph" "$phrase" 2>&1 | grep -v '^Total tries = ' > "$out/morph-${phrase// /_}" || true
    done
    head -c 20000 "$corpus/text" | "$morph" -s 2>&1 | grep -v '^Total tries = ' > "$out/morph-stdin" || true
    "$morph" -u 0 x > "$out/morph-u0" 2>&1 || echo "status $?" >> "$out/morph-u0"
}

first=""
failed=0
for build in "$@"; do
    out=$work/out/$(basename "$build")
    run_build "$build" "$out"
    if [ -z "$first" ]; then
        first=$out
        echo "$(basename "$build"): $(ls "$out" | wc -l) outputs"
    elif diff -r "$first" "$out" > "$work/diff" 2>&1; then
        echo "$(basename "$build"): $(ls "$out" | wc -l) outputs, identical to $(basename "$first")"
    else
        echo "$(basename "$build"): differs from $(basename "$first"):"
        head -n 40 "$work/diff"
        failed=1
    fi
done
exit $failed
