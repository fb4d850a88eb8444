#!/usr/bin/env bash
# Builds and runs one libFuzzer program of fuzz/ (clang, ASan, UBSan):
#   scripts/fuzz.sh NAME [seconds, default 60] [extra libFuzzer args...]
# The corpus grows in build/fuzz-corpus/NAME; fuzz/corpus/NAME seeds it.
# Crashing, leaking and slow inputs land in build/fuzz-artifacts/NAME/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:?usage: scripts/fuzz.sh NAME [seconds]}; shift
seconds=${1:-60}; [ $# -gt 0 ] && shift
"$root/scripts/setup.sh" >/dev/null
dir=$root/build/fuzz
[ -f "$dir/build.ninja" ] || cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVAN_FUZZ=ON -DCORVAN_TESTS=OFF -DCORVAN_SANITIZE=OFF >/dev/null
cmake --build "$dir" --target "fuzz_$name" -j "$(nproc)" >/dev/null
corpus=$root/build/fuzz-corpus/$name
artifacts=$root/build/fuzz-artifacts/$name
mkdir -p "$corpus" "$artifacts"
seeds=()
[ -d "$root/fuzz/corpus/$name" ] && seeds=("$root/fuzz/corpus/$name")
exec "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -artifact_prefix="$artifacts/" "$@" "$corpus" "${seeds[@]}"
