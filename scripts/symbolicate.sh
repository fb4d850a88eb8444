#!/usr/bin/env bash
# Prints the walk of a minidump with the symbols of this build: each
# thread's frames, those of our programs named with function, source file
# and line, unwound through their unwind tables where they have no frame
# pointer. The walker is Breakpad's (scripts/minidump-tools.sh).
#   scripts/symbolicate.sh DUMP [SYMBOLS]   (default build/win32/symbols)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dump=${1:?usage: scripts/symbolicate.sh DUMP [SYMBOLS]}
symbols=${2:-$root/build/win32/symbols}
bin=$("$root/scripts/minidump-tools.sh")
# The walker logs every file it looks for on stderr: shown only on failure.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$bin/minidump_stackwalk" "$dump" "$symbols" 2>"$log" || { cat "$log" >&2; exit 1; }
