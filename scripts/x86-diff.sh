#!/usr/bin/env bash
# Differential test of the x86 decoder on the whole corpus: every 32-bit Wine
# DLL, corvan.exe (when built) and 4 MB of random bytes, against Zydis and
# objdump. Prints the agreement figures and every disagreement class.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" >/dev/null
"$root/scripts/build.sh" native >/dev/null
CORVAN_X86_CORPUS=full exec "$root/build/native/tests/crash/analysis/x86/x86_differential_test" "$@"
