#!/usr/bin/env bash
# How bench/data/desktop-1920x1080.png was made (once; the result is kept):
# a 1920 x 1080 Xvfb desktop with a gradient background, Wine's Notepad
# showing source code, the Registry Editor, Wine configuration, an
# ImageMagick picture window and an xmessage box, captured with import.
#   bench/data/capture_desktop.sh OUT.png
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
. "$root/scripts/wine-env.sh"
wine_prefix_ensure win64
export WINEPREFIX
WINEPREFIX=$(wine_prefix_path win64)
fifo=$(mktemp -u); mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
read -r n <"$fifo"; rm -f "$fifo"
export DISPLAY=":$n"
pids=()
cleanup() { wineserver -k || true; kill "${pids[@]}" "$xvfb" 2>/dev/null || true; }
trap cleanup EXIT
display -window root -size 1920x1080 'gradient:#2a6db5-#0b2340' & pids+=($!)
cp "$root/src/crash/codec/WuQuantizer.cpp" /tmp/WuQuantizer.txt
wine notepad 'Z:\tmp\WuQuantizer.txt' >/dev/null 2>&1 & sleep 5
wine regedit >/dev/null 2>&1 & sleep 4
wine winecfg >/dev/null 2>&1 & sleep 4
xmessage -geometry +600+980 "Helpdesk session 9123 started. The remote technician can now see your screen." & pids+=($!)
sleep 1
move() {  # window name, x, y [, width, height]
  local w
  w=$(xdotool search --name "$1" | head -1)
  xdotool windowmove "$w" "$2" "$3"
  if [ $# -gt 3 ]; then xdotool windowsize "$w" "$4" "$5"; fi
}
move 'Notepad' 40 60 1000 900
move 'Registry Editor' 900 200 900 600
move 'Wine configuration' 1400 500
display -geometry +1250+40 -resize 50% logo: & pids+=($!)
sleep 3
import -window root "$out"
convert "$out" -strip -define png:compression-level=9 "$out"
