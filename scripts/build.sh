#!/usr/bin/env bash
# Builds both trees: build/win32 (corvan.exe and the Windows tests, mingw-w64)
# and build/native (portable code and its tests with ASan and UBSan); on
# request build/bench (the native benchmarks, optimised, no sanitizers).
#   scripts/build.sh [win32|native|bench]... [TARGET...]
# Default: win32 and native whole; named targets build only those (and what
# they need), e.g. `scripts/build.sh win32 corvan` for the program alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${CORVAN_JOBS:-$(nproc)}
trees=() targets=()
for a in "$@"; do
  case $a in win32|native|bench) trees+=("$a") ;; *) targets+=(--target "$a") ;; esac
done
[ ${#trees[@]} -gt 0 ] || trees=(win32 native)

# Configures every time (a second or two): new CMakeLists.txt files of a
# subsystem are picked up without a clean build.
configure() {  # dir, cmake args...
  local dir=$1; shift
  local launcher=()
  # ccache, with paths relative to the tree, shares objects between checkouts.
  if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$root" -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
}

for t in "${trees[@]}"; do
  case $t in
    win32)
      configure "$root/build/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
      cmake --build "$root/build/win32" -j "$jobs" "${targets[@]}" ;;
    native)
      configure "$root/build/native" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
      cmake --build "$root/build/native" -j "$jobs" "${targets[@]}" ;;
    bench)
      configure "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DCORVAN_BENCH=ON \
        -DCORVAN_TESTS=OFF -DCORVAN_SANITIZE=OFF
      cmake --build "$root/build/bench" -j "$jobs" "${targets[@]}" ;;
  esac
done
