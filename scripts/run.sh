#!/usr/bin/env bash
# Installs what is missing, builds, and starts CorVAN NG under Wine.
# Without a display it starts Xvfb itself, writes a screenshot of the main
# window to build/screenshots/main.png and ends the program again.
#   scripts/run.sh [win64|win32]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix_name=${1:-win64}
"$root/scripts/setup.sh"
"$root/scripts/build.sh" win32
. "$root/scripts/wine-env.sh"

had_display=1
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then had_display=0; fi
xvfb_ensure
wine_prefix_ensure "$prefix_name"
export WINEPREFIX
WINEPREFIX=$(wine_prefix_path "$prefix_name")

wine "$root/build/win32/corvan.exe" &
pid=$!
if [ "$had_display" = 1 ]; then
  wait "$pid"
  exit 0
fi

cleanup() { wine_prefix_kill "$prefix_name"; xvfb_stop; }
trap cleanup EXIT
window=""
for _ in $(seq 100); do
  window=$(xdotool search --name '^CORVAN NG$' 2>/dev/null | head -1 || true)
  [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "run: the main window did not appear" >&2; exit 1; }
sleep 1  # let it paint
mkdir -p "$root/build/screenshots"
import -window root -crop "$(xdotool getwindowgeometry --shell "$window" |
  awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END{print w "x" h "+" x "+" y}')" \
  +repage "$root/build/screenshots/main.png"
echo "run: screenshot in build/screenshots/main.png"
