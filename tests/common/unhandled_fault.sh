#!/usr/bin/env bash
# An unhandled fault in a test program must end the program at once with
# Wine's backtrace in the test's output, also on a display: there winedbg
# would show a crash dialog that nobody closes and keep the program frozen
# until ctest's time-out.
#   unhandled_fault.sh win64|win32 CHILD.exe
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(timeout 60 "$root/scripts/wine-run.sh" "$1" "$2" 2>&1)
status=$?
printf '%s\n' "$out"
if [ "$status" -eq 124 ]; then
  echo "FAIL: the program was still frozen 60 s after its fault"
  exit 1
fi
if ! grep -q "^Unhandled exception: page fault" <<<"$out"; then
  echo "FAIL: no backtrace of the fault (exit status $status)"
  exit 1
fi
if grep -q "still running" <<<"$out"; then
  echo "FAIL: the program went on after its fault"
  exit 1
fi
echo "ok: ended with status $status after printing the backtrace"
