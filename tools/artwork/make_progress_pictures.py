#!/usr/bin/env python3
"""Draws the progress window's pictures (our own artwork) and writes them
as 32 x 32 BMP files with an alpha channel (BITMAPINFOHEADER, 32 bits per
pixel, bottom-up, blue-green-red-alpha), which the resource compiler embeds
as bitmap resources of exactly 40 + 4096 bytes:
    tools/artwork/make_progress_pictures.py src/crash/ui/res
ZEIPLWAIT is an hourglass ("please wait"), ZEISEND32 an envelope (sending).
The results are committed, so builds do not run this."""
import struct
import sys

SIZE, SUB = 32, 4  # 4 x 4 samples per pixel for smooth edges


def render(inside):
    """inside(x, y) -> (r, g, b) or None, in pixel coordinates (top-left 0)."""
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            acc, hits = [0, 0, 0], 0
            for sy in range(SUB):
                for sx in range(SUB):
                    c = inside(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
                    if c:
                        hits += 1
                        acc = [a + v for a, v in zip(acc, c)]
            if hits:
                r, g, b = (round(a / hits) for a in acc)
                row.append((r, g, b, round(255 * hits / SUB / SUB)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def hourglass(x, y):
    frame = (92, 64, 40)
    if 5 <= x <= 27 and (3 <= y <= 6 or 26 <= y <= 29):
        return frame
    if 7 <= y <= 25:
        half = abs(y - 16) / 9.0 * 9 + 1.5  # glass narrows to the middle
        if abs(x - 16) <= half:
            edge = abs(x - 16) > half - 1.2
            sand = (y > 16 and abs(x - 16) < (y - 16) * 0.9) or (9 <= y <= 14 and abs(x - 16) < half - 1.5 and y > 11)
            if edge:
                return (70, 110, 160)
            if sand:
                return (230, 178, 60)
            return (215, 235, 250)
    return None


def envelope(x, y):
    if not (3 <= x <= 29 and 7 <= y <= 25):
        return None
    border = x < 4.2 or x > 27.8 or y < 8.2 or y > 23.8
    # The flap: two lines from the top corners to the centre.
    flap = abs((y - 7) - (13 - abs(x - 16)) * 9 / 13) < 1.0 and y < 17
    if border or flap:
        return (31, 95, 168)
    return (250, 250, 245)


def write_bmp(path, rows):
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 32, 0, len(pixels), 0, 0, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 54)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


out = sys.argv[1]
write_bmp(f"{out}/zeiplwait.bmp", render(hourglass))
write_bmp(f"{out}/zeisend32.bmp", render(envelope))
