#!/usr/bin/env bash
# Installs what is missing, builds, and starts CorVAN NG under Wine.
# Without a display it starts Xvfb itself, writes a screenshot of the main
# window to build/screenshots/main.png and ends the program again.
#   scripts/run.sh [win64|win32]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix_name=${1:-win64}
"$root/scripts/setup.sh"
# The program alone: the tests are built by scripts/test.sh.
"$root/scripts/build.sh" win32 corvan
. "$root/scripts/wine-env.sh"
wine_runs_here || {
  echo "run: this machine runs no 32-bit programs (wine --version: Exec format error): corvan.exe" \
    "is built in build/win32; run it on Windows or on a machine with IA-32 emulation" >&2
  exit 1
}

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
window=$(wine_wait_window '^CORVAN NG$') || { echo "run: the main window did not appear" >&2; exit 1; }
sleep 1  # let it paint
mkdir -p "$root/build/screenshots"
import -window root -crop "$(xdotool getwindowgeometry --shell "$window" |
  awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END{print w "x" h "+" x "+" y}')" \
  +repage "$root/build/screenshots/main.png"
echo "run: screenshot in build/screenshots/main.png"
