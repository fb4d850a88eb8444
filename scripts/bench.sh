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
"$root/scripts/build.sh" bench "bench_$name" >/dev/null
cd "$root"
exec "$root/build/bench/bench/bench_$name" "$@"
