#!/usr/bin/env bash
# The Windows smoke set for a machine that runs 32-bit programs only under
# emulation (scripts/emulate-i386.sh runs this script): corvan.exe reaches
# its main window with nothing else on screen and writes no report, and a
# fault made in it from outside leaves a bug report and a minidump. Runs in
# the 32-bit prefix; each test program writes its GoogleTest results to
# build/win32/test-results, where scripts/test_summary.py counts them.
#   scripts/wine-smoke.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-env.sh"
trap 'wine_prefix_kill win32; xvfb_stop' EXIT
xvfb_ensure || exit 1
wine_prefix_ensure win32
# Every wait of the tests stretches by this factor: an emulated program
# runs some fifty times slower than on the processor.
export CORVAN_TEST_SLOWDOWN=${CORVAN_TEST_SLOWDOWN:-40}
export WINEPREFIX
WINEPREFIX=$(wine_prefix_path win32)
# One server session for the whole set: each new session boots the
# prefix's services again, minutes under the emulation.
wineserver -p
results="$root/build/win32/test-results"
mkdir -p "$results"

# smoke NAME PROGRAM GTEST_FILTER: one test program, its results as NAME.
status=0
smoke() {
  local name=$1 program=$2 filter=$3 xml="$results/$1.xml"
  echo "== smoke: $name ($filter)"
  rm -f "$xml"
  local start=$SECONDS
  wine "$program" --gtest_filter="$filter" --gtest_output="xml:Z:${xml//\//\\}" || status=1
  echo "   $((SECONDS - start)) s"
  # A program that died before writing its results failed all the same.
  if [ ! -s "$xml" ]; then
    printf '<testsuites><testsuite name="%s"><testcase classname="smoke" name="%s">%s</testcase></testsuite></testsuites>\n' \
      "$name" "$filter" '<failure message="no results written"/>' >"$xml"
    status=1
  fi
}
smoke launcher_start.win32 "$root/build/win32/tests/e2e/launcher_e2e_test.exe" \
  'Launcher.StartShowsTheMainWindowAndNothingElse'
smoke corvan_fault.win32 "$root/build/win32/tests/crash/faults/crash_corvan_fault_test.exe" '*'
exit $status
