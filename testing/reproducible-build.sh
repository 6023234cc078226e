#!/usr/bin/env bash
# Builds the suite twice from copies of this tree under different parent
# paths, with the same SOURCE_DATE_EPOCH but different time zones, locales
# and umasks, and compares what is installed byte for byte; the build
# folders lie outside the copies, under different parent paths too. Done for
# the release settings (whose cpack .deb and .tar.gz are compared too) and
# for an optimised build with debugging information, with warnings as
# errors; then for the Debian package of dpkg-buildpackage, built with
# Debian's own flags (-Wdate-time among them), where any compiler warning
# fails too. Names the first file that differs and fails. Also checks that
# the banners give the moment of SOURCE_DATE_EPOCH in Eastern Standard Time,
# as their EST label says.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 1700000000)}
work=$(mktemp -d /tmp/suite-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The two builds' surroundings: time zone, locale and umask.
setting_first=(UTC C 022)
setting_other=(Pacific/Chatham C.UTF-8 077)

# in_setting FIRST|OTHER COMMAND...: runs the command in that surrounding.
in_setting() {
  local -n setting=setting_$1
  shift
  (umask "${setting[2]}" && TZ=${setting[0]} LC_ALL=${setting[1]} "$@")
}

# One copy of the tree's files (tracked and new ones, as they are now).
copy_tree() {
  mkdir -p "$1"
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    (cd "$root" && xargs -0 cp --parents -t "$1")
}

# build FLAVOUR SOURCE BUILD: configures, builds in BUILD and installs
# into BUILD/stage; the release flavour makes its packages in BUILD/packages.
build() {
  local flavour=$1 src=$2 bin=$3 type=Release
  mkdir -p "$(dirname "$bin")"
  [ "$flavour" = debuginfo ] && type=RelWithDebInfo
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
  if [ "$flavour" = release ]; then
    (cd "$bin" && cpack -B "$bin/packages" >"$bin.cpack.log" 2>&1) || { cat "$bin.cpack.log"; return 1; }
    rm -rf "$bin/packages/_CPack_Packages"
  fi
}

# debian_build SOURCE: the Debian package, without its tests (the package
# test runs them); the package build takes SOURCE_DATE_EPOCH from
# debian/changelog, as it does on a fresh clone.
debian_build() {
  (cd "$1" && env -u SOURCE_DATE_EPOCH DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
     dpkg-buildpackage -us -uc -b >"$1.log" 2>&1) || { tail -40 "$1.log"; return 1; }
  if grep -E "^[^ ]+:[0-9]+:[0-9]+: warning:" "$1.log"; then
    echo "reproducible-build: warnings in the Debian package build" >&2
    return 1
  fi
  mkdir "$1/../packages"
  mv "$1"/../*.deb "$1/../packages/"
}

# compare NAME A B: every file below A and B is the same.
compare() {
  local name=$1 a=$2 b=$3 count=0 file
  while IFS= read -r -d '' file; do
    count=$((count + 1))
    if ! cmp -s "$a/$file" "$b/$file"; then
      echo "reproducible-build: $name differ first in $file:"
      cmp "$a/$file" "$b/$file" || true
      return 1
    fi
  done < <(cd "$a" && find . \( -type f -o -type l \) -print0 | sort -z)
  if [ "$(cd "$a" && find . | sort)" != "$(cd "$b" && find . | sort)" ]; then
    echo "reproducible-build: $name hold different sets of files"
    return 1
  fi
  echo "reproducible-build: $name identical ($count files)"
}

echo "reproducible-build: SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH; first build TZ=${setting_first[0]}" \
     "LC_ALL=${setting_first[1]} umask ${setting_first[2]}, second TZ=${setting_other[0]}" \
     "LC_ALL=${setting_other[1]} umask ${setting_other[2]}"
for flavour in release debuginfo dpkg; do
  if [ $flavour = dpkg ] && ! command -v dh >/dev/null; then
    echo "reproducible-build: SKIP the Debian package: debhelper is missing (testing/install-deps.sh --package)"
    continue
  fi
  first=$work/$flavour/first
  other=$work/$flavour/a-second-parent/deeper
  in_setting first copy_tree "$first/src"
  in_setting other copy_tree "$other/src"
  if [ $flavour = dpkg ]; then
    in_setting first debian_build "$first/src"
    in_setting other debian_build "$other/src"
    compare "the Debian packages" "$first/packages" "$other/packages"
    continue
  fi
  in_setting first build $flavour "$first/src" "$first/build"
  in_setting other build $flavour "$other/src" "$work/$flavour/other/build"
  compare "the $flavour builds" "$first/build/stage" "$work/$flavour/other/build/stage"
  if [ $flavour = release ]; then
    compare "the release packages" "$first/build/packages" "$work/$flavour/other/build/packages"
    # The banner's moment in Eastern Standard Time, as date(1) gives it.
    want="compiled $(LC_ALL=C TZ=EST5 date -d "@$SOURCE_DATE_EPOCH" '+%b %e %Y at %H:%M:%S') EST."
    got=$("$first/build/stage/bin/octetTally" -v | tail -1)
    [ "$got" = "$want" ] || { echo "reproducible-build: the banner says '$got', not '$want'"; exit 1; }
    echo "reproducible-build: the banner gives SOURCE_DATE_EPOCH in EST: $got"
  fi
done
