#!/usr/bin/env bash
# Makes the .deb and the .tar.gz from a release build folder (default
# build/ci), checks what they hold, runs each tool's -v from a scratch root,
# checks the executables' hardening with readelf, runs lintian on the .deb
# where it is installed, and checks that the uninstall target removes
# exactly what cmake --install put in place.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/ci}" && pwd)
tools=(octetTally morphPhrase blankfill lapwatch)
work=$(mktemp -d /tmp/suite-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "package-test: FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/*.deb)
tgz=$(ls "$work"/out/*.tar.gz)
echo "package-test: made $(basename "$deb") and $(basename "$tgz")"

# What both packages must hold, below their prefix.
expected=(share/bash-completion/completions/{octetTally,morphPhrase,blankfill,lapwatch}
          share/zsh/site-functions/_byteToolSuite
          share/fish/vendor_completions.d/{octetTally,morphPhrase,blankfill,lapwatch}.fish
          share/doc/byte-tool-suite/{README.md,LICENSE,copyright,changelog.gz})
for tool in "${tools[@]}"; do
  expected+=(bin/$tool share/man/man1/$tool.1.gz)
done

# check_root ROOT: the files are there and each tool runs from ROOT/bin.
check_root() {
  local root=$1 file tool
  for file in "${expected[@]}"; do
    [ -f "$root/$file" ] || fail "$file is missing from $2"
  done
  for tool in "${tools[@]}"; do
    "$root/bin/$tool" -v >"$work/banner" || fail "$2: $tool -v ended with status $?"
    grep -q "^$tool version " "$work/banner" || fail "$2: $tool -v wrote: $(cat "$work/banner")"
    gzip -t "$root/share/man/man1/$tool.1.gz" || fail "$2: $tool.1.gz is not gzip"
  done
}

dpkg -x "$deb" "$work/deb"
check_root "$work/deb/usr" "the .deb"
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
check_root "$(ls -d "$work"/tgz/*)" "the .tar.gz"
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

if command -v lintian >/dev/null; then
  # Errors fail the test; warnings and notes are shown.
  lintian --allow-root --tag-display-limit 0 -I "$deb" >"$work/lintian" 2>&1 || true
  cat "$work/lintian"
  ! grep -q "^E: " "$work/lintian" || fail "lintian reports errors"
  echo "package-test: lintian reports no errors ($(grep -c "^W: " "$work/lintian" || true) warnings)"
else
  echo "package-test: SKIP lintian: not installed (testing/install-deps.sh --package installs it)"
fi

# Uninstall removes what the install put in place and nothing else.
mkdir -p "$work/prefix/bin"
echo keep >"$work/prefix/bin/not-ours"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
[ -x "$work/prefix/bin/lapwatch" ] || fail "cmake --install put no lapwatch in place"
cmake --build "$build" --target uninstall >/dev/null
left=$(cd "$work/prefix" && find . -type f)
[ "$left" = "./bin/not-ours" ] || fail "after uninstall the prefix holds: $left"
echo "package-test: uninstall removed every installed file and kept the rest"
