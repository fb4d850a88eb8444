#!/usr/bin/env bash
# Installs what is missing, builds, and starts CorVAN NG under Wine.
# Without a display it starts Xvfb itself, checks that the start shows the
# main window and nothing else (no exception box, no message box, no bug
# report written), writes a screenshot of the main window to
# build/screenshots/main.png and ends the program again; it exits non-zero
# and says what appeared when the start went wrong.
#   scripts/run.sh [win64|win32]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix_name=${1:-win64}
if [ -z "${CORVAN_RUN_EMULATED:-}" ]; then
  "$root/scripts/setup.sh"
  # The program alone: the tests are built by scripts/test.sh.
  "$root/scripts/build.sh" win32 corvan
fi
. "$root/scripts/wine-env.sh"
if ! wine_runs_here; then
  if [ "${CORVAN_EMULATE:-0}" != 1 ]; then
    echo "run: this machine runs no 32-bit programs (wine --version: Exec format error): corvan.exe" \
      "is built in build/win32; run it on Windows or on a machine with IA-32 emulation" \
      "(CORVAN_EMULATE=1 tries qemu's emulation, which takes many minutes and which Wine's" \
      "fault handling does not survive)" >&2
    exit 1
  fi
  # Wine's 32-bit loader under qemu's user-mode emulation instead.
  CORVAN_START_SECONDS=${CORVAN_START_SECONDS:-900} CORVAN_RUN_EMULATED=1 \
    exec "$root/scripts/emulate-i386.sh" "$0" "$@"
fi

had_display=1
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then had_display=0; fi
xvfb_ensure
wine_start "$prefix_name" "$root/build/win32/corvan.exe"
if [ "$had_display" = 1 ]; then
  wait "$WINE_PID"
  exit 0
fi

cleanup() { wine_end "$prefix_name"; xvfb_stop; }
trap cleanup EXIT
report="$root/build/win32/bugreport.txt"
report_before=$(stat -c %s "$report" 2>/dev/null || echo none)
window=$(wine_wait_window '^CORVAN NG$' "${CORVAN_START_SECONDS:-20}") ||
  { echo "run: the main window did not appear; on screen:" >&2; wine_visible_windows >&2; exit 1; }
# Let it paint; a fault in start-up code shows its box by now.
sleep "${CORVAN_SETTLE_SECONDS:-2}"
mkdir -p "$root/build/screenshots"
import -window root -crop "$(xdotool getwindowgeometry --shell "$window" |
  awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END{print w "x" h "+" x "+" y}')" \
  +repage "$root/build/screenshots/main.png"
# The start counts only when the main window is all a person sees and no
# bug report was written.
others=$(wine_visible_windows | grep -v "^$window " || true)
if [ -n "$others" ]; then
  echo "run: besides the main window, the start showed:" >&2
  echo "$others" | sed 's/^[0-9]* /  /' >&2
  exit 1
fi
if [ "$(stat -c %s "$report" 2>/dev/null || echo none)" != "$report_before" ]; then
  echo "run: the start wrote a bug report ($report):" >&2
  tail -n 40 "$report" >&2
  exit 1
fi
echo "run: the main window alone, screenshot in build/screenshots/main.png"
