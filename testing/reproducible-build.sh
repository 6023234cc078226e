#!/usr/bin/env bash
# Builds the suite twice from copies of this tree under different parent
# paths, with the same SOURCE_DATE_EPOCH, and compares what is installed
# byte for byte; the build folders lie outside the copies, under different
# parent paths too. Done for the release settings, for an optimised build
# with debugging information, and for a release build with Debian's own
# build flags (debugging information, hardening), always with warnings as
# errors. Names the first file that differs and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 1700000000)}
work=$(mktemp -d /tmp/suite-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT

# One copy of the tree's files (tracked and new ones, as they are now).
copy_tree() {
  mkdir -p "$1"
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    (cd "$root" && xargs -0 cp --parents -t "$1")
}

# build FLAVOUR SOURCE BUILD: configures, builds in BUILD and installs
# into BUILD/stage.
build() {
  local flavour=$1 src=$2 bin=$3 cxxflags="" ldflags="" type=Release
  mkdir -p "$(dirname "$bin")"
  [ "$flavour" = debuginfo ] && type=RelWithDebInfo
  if [ "$flavour" = debian ]; then
    # As a package build does, the flags are asked for in the source folder.
    cxxflags="$(cd "$src" && dpkg-buildflags --get CXXFLAGS) $(cd "$src" && dpkg-buildflags --get CPPFLAGS)"
    ldflags=$(cd "$src" && dpkg-buildflags --get LDFLAGS)
  fi
  CXXFLAGS=$cxxflags CFLAGS=$cxxflags LDFLAGS=$ldflags \
    cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=$type \
      -DSUITE_TESTS=OFF -DSUITE_WERROR=ON >"$bin.configure.log" 2>&1 ||
    { cat "$bin.configure.log"; return 1; }
  cmake --build "$bin" >"$bin.log" 2>&1 || { cat "$bin.log"; return 1; }
  if grep -q "warning:" "$bin.log"; then
    grep "warning:" "$bin.log"
    echo "reproducible-build: warnings in the $flavour build" >&2
    return 1
  fi
  cmake --install "$bin" --prefix "$bin/stage" >/dev/null
}

status=0
for flavour in release debuginfo debian; do
  if [ $flavour = debian ] && ! command -v dpkg-buildflags >/dev/null; then
    echo "reproducible-build: SKIP the build with Debian's flags: dpkg-buildflags is missing (testing/install-deps.sh --package)"
    continue
  fi
  copy_tree "$work/$flavour/first/src"
  copy_tree "$work/$flavour/a-second-parent/deeper/src"
  build $flavour "$work/$flavour/first/src" "$work/$flavour/first/build"
  build $flavour "$work/$flavour/a-second-parent/deeper/src" "$work/$flavour/other/build"
  a=$work/$flavour/first/build
  b=$work/$flavour/other/build
  count=0
  while IFS= read -r -d '' file; do
    count=$((count + 1))
    if ! cmp -s "$a/stage/$file" "$b/stage/$file"; then
      echo "reproducible-build: $flavour builds differ first in $file:"
      cmp "$a/stage/$file" "$b/stage/$file" || true
      status=1
      break
    fi
  done < <(cd "$a/stage" && find . -type f -print0 | sort -z)
  if [ "$(cd "$a/stage" && find . -type f | sort)" != "$(cd "$b/stage" && find . -type f | sort)" ]; then
    echo "reproducible-build: $flavour builds install different sets of files"
    status=1
  fi
  [ $status -eq 0 ] && echo "reproducible-build: $flavour builds identical ($count files, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
  [ $status -eq 0 ] || break
done
exit $status
