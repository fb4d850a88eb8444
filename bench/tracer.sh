#!/usr/bin/env bash
# The stack tracer against the unwind tables on 20 threads of 50 to 500
# frames, and map lookups per second, under Wine in the 64-bit prefix (the
# program is built in build/win32). Ends with "ratio tracer-vs-unwind VALUE".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
CORVAN_JOBS=${CORVAN_JOBS:-1} "$root/scripts/build.sh" win32 >/dev/null
. "$root/scripts/wine-env.sh"
trap xvfb_stop EXIT
xvfb_ensure
"$root/scripts/wine-run.sh" win64 "$root/build/win32/bench/bench_tracer.exe" "$@"
