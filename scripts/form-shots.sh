#!/usr/bin/env bash
# Pictures of the built-in assistant forms for the README: drives the send
# assistant of the test probe on a display of its own and writes
# build/screenshots/form-*.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-env.sh"
xvfb_ensure
out=$root/build/screenshots
mkdir -p "$out"
rm -f "$out"/form-*.bmp
CORVAN_SCREENSHOT_DIR=$(winepath -w "$out" 2>/dev/null || echo "Z:${out//\//\\}") \
  "$root/scripts/wine-run.sh" win64 "$root/build/win32/tests/crash/ui/assistant_e2e_test.exe" >/dev/null
for bmp in "$out"/form-*.bmp; do
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  echo "form-shots: ${bmp%.bmp}.png"
done
