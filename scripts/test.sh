#!/usr/bin/env bash
# Installs what is missing, builds both trees and runs every test: natively
# (ASan/UBSan) and under Wine in the project's 64-bit (WOW64) and 32-bit
# prefixes, on an Xvfb display of its own when none is given.
# Ends with one line "N passed, N failed"; exits non-zero on any failure.
#   scripts/test.sh [ctest -R regex]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
filter=${1:-}
"$root/scripts/setup.sh" || exit 1
"$root/scripts/build.sh" || { echo "0 passed, 1 failed"; exit 1; }
. "$root/scripts/wine-env.sh"

cleanup() { wine_prefix_kill win64; wine_prefix_kill win32; xvfb_stop; }
trap cleanup EXIT

ctest_args=(--output-on-failure --timeout 600)
[ -n "$filter" ] && ctest_args+=(-R "$filter")
for tree in native win32; do
  rm -rf "$root/build/$tree/test-results" "$root/build/$tree/Testing/Temporary/LastTestsFailed.log"
done

status=0
echo "== native tests"
(cd "$root/build/native" && ctest "${ctest_args[@]}" -j "$(nproc)") || status=1

echo "== Windows tests under Wine"
trees=("$root/build/native")
if wine_runs_here; then
  xvfb_ensure || exit 1
  wine_prefix_ensure win64 && wine_prefix_ensure win32
  (cd "$root/build/win32" && ctest "${ctest_args[@]}" -j 2) || status=1
  trees+=("$root/build/win32")
else
  echo "SKIPPED: this machine runs no 32-bit programs (its kernel has IA-32 emulation off:" \
    "wine --version fails with \"Exec format error\"); the Windows tests were built, not run"
fi

python3 "$root/scripts/test_summary.py" "${trees[@]}" || status=1
exit $status
