#!/usr/bin/env bash
# Installs what building and testing the suite needs, where this machine lacks
# it (Debian packages): a compiler, CMake, Ninja, GoogleTest, Boost.Math's
# headers (octetTally's chi-square probability), the EditorConfig library
# that blankfill --editorconfig reads .editorconfig files with, and the
# coreutils, diff, patch, git and the random test program `ent` used as test
# oracles. Does nothing on a machine that has it all.
#   --bench    also what the benchmarks need
#   --package  also what the package, completion and reproducibility checks
#              need (dpkg-dev, debhelper, devscripts, lintian, bash-completion,
#              zsh, fish)
#   --fuzz     also clang and its fuzzer
#   --cross    also the cross compilers for aarch64, s390x, i686, 32-bit ARM
#              (hard- and soft-float), ppc64el, riscv64 and mips64el, qemu-user
#              registered with the kernel for the foreign executables, and
#              GoogleTest built for each of them from Debian's sources
set -euo pipefail

missing=()
cross_triples="aarch64-linux-gnu s390x-linux-gnu i686-linux-gnu arm-linux-gnueabihf arm-linux-gnueabi
               powerpc64le-linux-gnu riscv64-linux-gnu mips64el-linux-gnuabi64"
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v sha256sum >/dev/null || missing+=(coreutils)
command -v expand >/dev/null || missing+=(coreutils)
command -v gzip >/dev/null || missing+=(gzip)
[ -f /usr/include/boost/math/special_functions/gamma.hpp ] || missing+=(libboost-math-dev)
command -v ent >/dev/null || missing+=(ent)
command -v python3 >/dev/null || missing+=(python3)
# The library's headers, its CMake package and its archive (with the
# regular-expression library's libpcre2-8.a, which it depends on), for the
# static tools.
[ -f /usr/include/editorconfig/editorconfig.h ] || missing+=(libeditorconfig-dev)
[ -f /usr/include/pcre2.h ] || missing+=(libpcre2-dev)
command -v diff >/dev/null || missing+=(diffutils)
command -v patch >/dev/null || missing+=(patch)
command -v git >/dev/null || missing+=(git)
# Small real file systems for the in-place tests: ext4 and btrfs images on
# loop devices.
command -v mkfs.ext4 >/dev/null || missing+=(e2fsprogs)
command -v mkfs.btrfs >/dev/null || missing+=(btrfs-progs)
command -v losetup >/dev/null || missing+=(mount)
case "${1:-}" in
  --bench)
    [ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
    command -v hyperfine >/dev/null || missing+=(hyperfine)
    ;;
  --package)
    command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
    dpkg-query -W -f='${Status}' build-essential 2>/dev/null | grep -q "ok installed" ||
      missing+=(build-essential)
    command -v dh >/dev/null || missing+=(debhelper)
    command -v debc >/dev/null || missing+=(devscripts)
    command -v readelf >/dev/null || missing+=(binutils)
    command -v lintian >/dev/null || missing+=(lintian)
    command -v mandoc >/dev/null || missing+=(mandoc)
    [ -f /usr/share/bash-completion/bash_completion ] || missing+=(bash-completion)
    command -v zsh >/dev/null || missing+=(zsh)
    command -v fish >/dev/null || missing+=(fish)
    ;;
  --cross)
    for triple in $cross_triples; do
      command -v "$triple-g++" >/dev/null || missing+=("g++-$triple")
    done
    command -v qemu-aarch64-static >/dev/null || missing+=(qemu-user-static)
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
    ;;
  --fuzz)
    command -v clang++ >/dev/null || missing+=(clang)
    ;;
esac

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null; then
    as_root=(sudo)
  else
    echo "install-deps.sh: run as root: apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q "${missing[@]}"
fi

# The presets need CMake 3.25 or newer.
cmake_version=$(cmake --version | sed -n 's/^cmake version \([0-9][0-9.]*\).*/\1/p')
if ! printf '3.25\n%s\n' "$cmake_version" | sort -V -C; then
  echo "install-deps.sh: CMake $cmake_version is too old; the presets need CMake 3.25 or newer." >&2
  exit 1
fi

if [ "${1:-}" = --cross ]; then
  # The kernel runs the foreign executables through qemu-user once it is
  # told to; the test executables start the tools as any user would, so
  # every foreign executable must run that way (qemu-arm runs both 32-bit
  # ARM ABIs).
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  for machine in aarch64 s390x arm ppc64le riscv64 mips64el; do
    [ -e "$binfmt/qemu-$machine" ] || cat "/usr/lib/binfmt.d/qemu-$machine.conf" > "$binfmt/register"
  done
  # 32-bit x86 executables run natively where the kernel allows it; some
  # kernels are built or started without it, and there qemu runs them too
  # (the pattern is that of any 32-bit x86 executable or position-
  # independent one).
  probe=$(mktemp -d)
  echo 'int main(void) { return 0; }' > "$probe/probe.c"
  i686-linux-gnu-gcc -static "$probe/probe.c" -o "$probe/probe"
  if ! "$probe/probe" 2>/dev/null && [ ! -e "$binfmt/qemu-i386" ]; then
    echo "32-bit x86 executables do not run on this kernel: registering qemu-i386 for them"
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' > "$binfmt/register"
  fi
  rm -rf "$probe"
  # GoogleTest for each target, built once with its cross compiler.
  here=$(cd "$(dirname "$0")" && pwd)
  for triple in $cross_triples; do
    prefix=/opt/suite-cross/$triple
    [ -f "$prefix/lib/libgtest.a" ] && continue
    echo "building GoogleTest for $triple"
    work=$(mktemp -d)
    cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$here/toolchains/$triple.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >"$work.log" 2>&1 || { cat "$work.log"; exit 1; }
    cmake --build "$work" >>"$work.log" 2>&1 && cmake --install "$work" >>"$work.log" 2>&1 \
      || { cat "$work.log"; exit 1; }
    rm -rf "$work" "$work.log"
  done
fi
