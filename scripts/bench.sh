#!/usr/bin/env bash
# Builds and runs one benchmark program of bench/ (native, optimised, no
# sanitizers): scripts/bench.sh NAME [benchmark args...]
# It prints its figures and ends with its "ratio NAME VALUE" lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:?usage: scripts/bench.sh NAME}; shift
"$root/scripts/setup.sh" >/dev/null
# A benchmark with a script of its own (one that runs under Wine, say).
[ -x "$root/bench/$name.sh" ] && exec "$root/bench/$name.sh" "$@"
dir=$root/build/bench
[ -f "$dir/build.ninja" ] || cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCORVAN_BENCH=ON -DCORVAN_TESTS=OFF -DCORVAN_SANITIZE=OFF >/dev/null
cmake --build "$dir" --target "bench_$name" -j "$(nproc)" >/dev/null
cd "$root"
exec "$dir/bench/bench_$name" "$@"
