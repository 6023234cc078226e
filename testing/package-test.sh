#!/usr/bin/env bash
# Makes the .deb and the .tar.gz from a release build folder (default
# build/ci) and the .deb of the Debian package build (dpkg-buildpackage, on
# a copy of the tree, its tests included), checks what they hold, runs each
# tool's -v from a scratch root, checks the executables' hardening with
# readelf, runs lintian on both .deb files, loads the zsh completion from
# each .deb with Debian's zsh search path, and checks that the uninstall
# target, run after cpack, removes exactly what cmake --install put in place.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/ci}" && pwd)
tools=(octetTally morphPhrase blankfill lapwatch)
work=$(mktemp -d /tmp/suite-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
# The Debian build's tests run tools as nobody, who must reach them.
chmod 755 "$work"
fail() { echo "package-test: FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/*.deb)
tgz=$(ls "$work"/out/*.tar.gz)
echo "package-test: made $(basename "$deb") and $(basename "$tgz")"

# What every package must hold, below its prefix; the .tar.gz also holds
# the licence, which the .deb files have in their copyright file.
common=(share/bash-completion/completions/{octetTally,morphPhrase,blankfill,lapwatch}
        share/fish/vendor_completions.d/{octetTally,morphPhrase,blankfill,lapwatch}.fish
        share/doc/byte-tool-suite/{README.md,copyright,changelog.gz})
for tool in "${tools[@]}"; do
  common+=(bin/$tool share/man/man1/$tool.1.gz)
done
deb_files=("${common[@]}" share/zsh/vendor-completions/_byteToolSuite)
tgz_files=("${common[@]}" share/zsh/site-functions/_byteToolSuite share/doc/byte-tool-suite/LICENSE)
# debhelper compresses the README.
debian_files=("${deb_files[@]/%README.md/README.md.gz}")

# check_root ROOT NAME FILE...: the files are there and each tool runs from
# ROOT/bin.
check_root() {
  local root=$1 name=$2 file tool
  shift 2
  for file in "$@"; do
    [ -e "$root/$file" ] || fail "$file is missing from $name"
  done
  for tool in "${tools[@]}"; do
    "$root/bin/$tool" -v >"$work/banner" || fail "$name: $tool -v ended with status $?"
    grep -q "^$tool version " "$work/banner" || fail "$name: $tool -v wrote: $(cat "$work/banner")"
    gzip -t "$root/share/man/man1/$tool.1.gz" || fail "$name: $tool.1.gz is not gzip"
  done
}

dpkg -x "$deb" "$work/deb"
check_root "$work/deb/usr" "the .deb" "${deb_files[@]}"
control=$(dpkg-deb -f "$deb")
fields=(Package Version Section Maintainer Description)
# Dynamic executables depend on the C library; static ones on nothing.
readelf -d "$work/deb/usr/bin/lapwatch" | grep -q "(NEEDED)" && fields+=(Depends)
for field in "${fields[@]}"; do
  grep -q "^$field: ." <<<"$control" || fail "the .deb has no $field field"
done
grep -q "^Section: utils$" <<<"$control" || fail "the .deb's section is not utils"
grep -q "^Version: $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")$" <<<"$control" ||
  fail "the .deb's version is not the suite's"

mkdir "$work/tgz"
tar -xzf "$tgz" -C "$work/tgz"
check_root "$(ls -d "$work"/tgz/*)" "the .tar.gz" "${tgz_files[@]}"
echo "package-test: both packages hold the tools, pages, completions and documents; every -v runs"

# Hardening: read-only relocations bound at start-up, a protected stack and
# checked buffer operations (the symbols of the unstripped build's tools).
for tool in "${tools[@]}"; do
  exe=$work/deb/usr/bin/$tool
  readelf -lW "$exe" | grep -q GNU_RELRO || fail "$tool has no read-only relocations"
  if readelf -d "$exe" | grep -q "(NEEDED)"; then
    readelf -d "$exe" | grep -Eq "BIND_NOW|FLAGS_1.*NOW" || fail "$tool is not bound at start-up"
  fi
  symbols=$(readelf -sW "$build/$tool/$tool")
  grep -q "__stack_chk_fail" <<<"$symbols" || fail "$tool has no stack protector"
  grep -Eq "__[a-z]+_chk(@|$| )" <<<"$symbols" || fail "$tool calls no checked buffer routine"
done
echo "package-test: every tool has full RELRO, a stack protector and checked buffer routines"

# The Debian package, built as a packager builds it: dpkg-buildpackage on a
# copy of the tree, with Debian's flags and the test suite in dh_auto_test,
# its jobs as many as the processors.
debian_deb=""
if command -v dpkg-buildpackage >/dev/null && command -v dh >/dev/null; then
  mkdir -p "$work/debian/src"
  git ls-files -z --cached --others --exclude-standard |
    xargs -0 cp --parents -t "$work/debian/src"
  start=$(date +%s)
  (cd "$work/debian/src" &&
   DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b \
     >"$work/debian.log" 2>&1) || { tail -60 "$work/debian.log"; fail "dpkg-buildpackage"; }
  debian_deb=$(ls "$work"/debian/byte-tool-suite_*.deb)
  echo "package-test: dpkg-buildpackage made $(basename "$debian_deb") in $(($(date +%s) - start)) s"
  grep -E "tests passed|\(Skipped\)|\[  SKIPPED \]" "$work/debian.log" | sed 's/^/package-test:   /' |
    sort -u || echo "package-test: SKIP the tests in the Debian build: nocheck"
  dpkg -x "$debian_deb" "$work/debian/root"
  check_root "$work/debian/root/usr" "the Debian package" "${debian_files[@]}"
  echo "package-test: the Debian package holds the tools, pages, completions and documents; every -v runs"
else
  echo "package-test: SKIP the Debian package build: dpkg-buildpackage or debhelper is missing (testing/install-deps.sh --package)"
fi

# lintian reads every run of printable bytes in an executable as text, and
# in machine code such a run may look like a misspelt word (")wTH" is a jump
# and a prefix). A spelling tag whose word is nowhere in the executable's
# read-only data, where its texts are, is such a run and is left out.
code_only_spelling() {
  local root=$1 line word file
  while IFS= read -r line; do
    if [[ "$line" =~ ^I:\ [^:]+:\ spelling-error-in-binary\ ([^ ]+)\ .*\[([^]]+)\]$ ]]; then
      word=${BASH_REMATCH[1]}
      file=$root/${BASH_REMATCH[2]}
      objcopy -O binary --only-section=.rodata "$file" "$work/rodata" 2>/dev/null || : >"$work/rodata"
      if ! grep -qaF -- "$word" "$work/rodata"; then
        echo "package-test: lintian's \"$word\" in ${BASH_REMATCH[2]} is machine code, not text" >&2
        continue
      fi
    fi
    echo "$line"
  done
}

# lintian, pedantic and with its notes: an override says why a tag is
# expected, and any tag left over fails.
if command -v lintian >/dev/null; then
  for package in "$deb" $debian_deb; do
    lintian --allow-root --pedantic -I --tag-display-limit 0 "$package" >"$work/lintian.all" 2>&1 ||
      { cat "$work/lintian.all"; fail "lintian did not run on $(basename "$package")"; }
    rm -rf "$work/lintian-root"
    dpkg -x "$package" "$work/lintian-root"
    code_only_spelling "$work/lintian-root" <"$work/lintian.all" >"$work/lintian"
    if grep -q "^[EWIPX]: " "$work/lintian"; then
      cat "$work/lintian"
      fail "lintian tags $(basename "$package")"
    fi
    echo "package-test: lintian --pedantic -I has no tag for ${package#"$work"/}"
  done
else
  echo "package-test: SKIP lintian: not installed (testing/install-deps.sh --package installs it)"
fi

# zsh, as Debian installs it, finds the completion in each .deb: the
# folders of its default search path that the package fills are put first.
if command -v zsh >/dev/null; then
  dpkg -x "$deb" "$work/deb-root"
  for root in "$work/deb-root" ${debian_deb:+"$work/debian/root"}; do
    got=$(ROOT=$root zsh -f -c '
      fpath=(${^fpath/#\/usr/$ROOT/usr}(N/) $fpath)
      autoload -Uz compinit && compinit -u -D
      print -r -- "$_comps[octetTally] $_comps[lapwatch]"')
    [ "$got" = "_byteToolSuite _byteToolSuite" ] ||
      fail "zsh with Debian's search path finds no completion in $root: '$got'"
  done
  echo "package-test: zsh with Debian's default search path completes the tools from the .deb files"
else
  echo "package-test: SKIP the zsh search path: zsh is not installed"
fi

# Uninstall, run after cpack (which rewrites install_manifest.txt), removes
# what the install put in place and the folders it made, and nothing else:
# not a file or a folder that was there before, even an empty one.
mkdir -p "$work/prefix/bin" "$work/prefix/share/man/man1"
echo keep >"$work/prefix/bin/not-ours"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
[ -x "$work/prefix/bin/lapwatch" ] || fail "cmake --install put no lapwatch in place"
(cd "$build" && cpack -B "$work/out2" >/dev/null 2>&1) || fail "cpack after the install"
cmake --build "$build" --target uninstall >"$work/uninstall.log" || fail "uninstall ended with status $?"
left=$(cd "$work/prefix" && find . | sort | tr '\n' ' ')
[ "$left" = ". ./bin ./bin/not-ours ./share ./share/man ./share/man/man1 " ] ||
  fail "after uninstall the prefix holds: $left"
grep -q "Uninstalled from $work/prefix: " "$work/uninstall.log" || fail "uninstall said: $(cat "$work/uninstall.log")"
cmake --build "$build" --target uninstall >"$work/uninstall.log" || fail "a second uninstall failed"
grep -q ": 0 files and links and 0 folders removed" "$work/uninstall.log" ||
  fail "a second uninstall did something: $(cat "$work/uninstall.log")"
# A record that names a path outside the root removes nothing.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
echo "file $work/not-below-the-prefix" >>"$build/suite-install-record.txt"
touch "$work/not-below-the-prefix"
! cmake --build "$build" --target uninstall >"$work/uninstall.log" 2>&1 ||
  fail "uninstall took a path outside the prefix"
[ -e "$work/not-below-the-prefix" ] && [ -x "$work/prefix/bin/lapwatch" ] ||
  fail "a refused uninstall removed files"
sed -i '$d' "$build/suite-install-record.txt"
cmake --build "$build" --target uninstall >/dev/null
echo "package-test: uninstall after cpack removed every installed file and folder, kept the rest, refused a path outside the prefix"
