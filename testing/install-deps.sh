#!/usr/bin/env bash
# Installs what building and testing the suite needs, where this machine lacks
# it (Debian packages): a compiler, CMake, Ninja, GoogleTest and the
# coreutils used as test oracles (with --bench, the benchmark tools; with
# --fuzz, clang and its fuzzer). Does nothing on a machine that has it all.
set -euo pipefail

missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
command -v sha256sum >/dev/null || missing+=(coreutils)
command -v expand >/dev/null || missing+=(coreutils)
if [ "${1:-}" = --bench ]; then
  [ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
  command -v hyperfine >/dev/null || missing+=(hyperfine)
fi
if [ "${1:-}" = --fuzz ]; then
  command -v clang++ >/dev/null || missing+=(clang)
fi

[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q "${missing[@]}"
