#!/usr/bin/env bash
# Draws the helpdesk picture of the main window (our own artwork) and writes
# it as the 129 x 129, 24-bit BMP that the program embeds:
#   tools/artwork/make_helpdesk_bmp.sh src/app/res/helpdesk.bmp
# Needs ImageMagick; the result is committed, so builds do not run this.
set -euo pipefail
out=$1
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
convert -size 129x129 xc:'#f0f0f0' \
  -fill '#1f5fa8' -draw 'circle 64,46 64,8' \
  -fill '#ffffff' -draw 'circle 64,36 64,22' \
  -fill '#ffffff' -draw 'ellipse 64,74 26,18 180,360' \
  -stroke '#ffffff' -strokewidth 4 -fill none -draw 'arc 38,14 90,62 180,360' \
  -stroke none -fill '#ffffff' -draw 'roundrectangle 34,36 42,52 3,3' -draw 'roundrectangle 86,36 94,52 3,3' \
  -fill '#e8a33d' -draw 'circle 64,46 64,44' \
  -fill '#1f5fa8' -font DejaVu-Sans-Bold -pointsize 20 -gravity south -annotate +0+10 'Helpdesk' \
  -depth 8 "ppm:$tmp/helpdesk.ppm"
python3 - "$tmp/helpdesk.ppm" "$out" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
parts = data.split(maxsplit=4)
assert parts[0] == b'P6'
w, h = int(parts[1]), int(parts[2])
pixels = parts[4]
stride = (w * 3 + 3) & ~3
rows = []
for y in range(h - 1, -1, -1):           # bottom-up
    row = bytearray()
    for x in range(w):
        r, g, b = pixels[(y * w + x) * 3:(y * w + x) * 3 + 3]
        row += bytes((b, g, r))
    row += b'\0' * (stride - len(row))
    rows.append(bytes(row))
image = b''.join(rows)
info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(image), 3779, 3779, 0, 0)
header = struct.pack('<2sIHHI', b'BM', 14 + 40 + len(image), 0, 0, 54)
open(sys.argv[2], 'wb').write(header + info + image)
PY
