#!/usr/bin/env bash
# The start-up integrity check on a 5 MB program and on corvan.exe as
# shipped (its debug information moved out; its size and check time are
# printed), against the start of a process of that size, under Wine in both
# prefixes. Ends with
# "ratio integrity-vs-process-start VALUE" per prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/wine-setup.sh"
for prefix in win64 win32; do
  echo "== $prefix"
  "$root/scripts/wine-run.sh" $prefix "$root/build/win32/bench/bench_integrity.exe" \
    "Z:${root//\//\\}\\build\\win32\\corvan.exe" "$@"
done
