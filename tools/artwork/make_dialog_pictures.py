#!/usr/bin/env python3
"""Draws the exception box's pictures (our own artwork) as BMP files with an
alpha channel (BITMAPINFOHEADER, 32 bits per pixel, bottom-up,
blue-green-red-alpha), which the resource compiler embeds as bitmap
resources of exactly 40 + size * size * 4 bytes:
    tools/artwork/make_dialog_pictures.py src/crash/ui/res
Buttons are 16 x 16 (send, save, print, show, continue, restart, close and
the greyed continue of an exception that cannot be continued); the large
picture left of the message is 32 x 32. The results are committed."""
import math
import struct
import sys

SUB = 4  # 4 x 4 samples per pixel for smooth edges


def render(size, inside):
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc, hits = [0, 0, 0], 0
            for sy in range(SUB):
                for sx in range(SUB):
                    c = inside((px + (sx + 0.5) / SUB) / size, (py + (sy + 0.5) / SUB) / size)
                    if c:
                        hits += 1
                        acc = [a + v for a, v in zip(acc, c)]
            if hits:
                row.append(tuple(round(a / hits) for a in acc) + (round(255 * hits / SUB / SUB),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


# Shapes in unit coordinates (0..1, y down).
def envelope(x, y):
    if not (0.1 <= x <= 0.9 and 0.22 <= y <= 0.78):
        return None
    if x < 0.16 or x > 0.84 or y < 0.28 or y > 0.72 or abs((y - 0.22) - (0.4 - abs(x - 0.5)) * 0.75) < 0.05:
        return (31, 95, 168)
    return (250, 250, 245)


def disk(x, y):
    if not (0.12 <= x <= 0.88 and 0.12 <= y <= 0.88):
        return None
    if 0.28 <= x <= 0.72 and 0.12 <= y <= 0.4:
        return (225, 225, 225)
    if 0.3 <= x <= 0.7 and 0.6 <= y <= 0.88:
        return (60, 60, 70)
    return (40, 90, 160)


def printer(x, y):
    if 0.28 <= x <= 0.72 and 0.08 <= y <= 0.4:
        return (250, 250, 250)
    if 0.08 <= x <= 0.92 and 0.4 <= y <= 0.72:
        return (90, 90, 100)
    if 0.28 <= x <= 0.72 and 0.72 <= y <= 0.92:
        return (250, 250, 250)
    return None


def magnifier(x, y):
    d = math.hypot(x - 0.42, y - 0.42)
    if d <= 0.3:
        return (40, 90, 160) if d > 0.22 else (215, 235, 250)
    if abs((x - y)) < 0.1 and 0.6 <= x <= 0.9 and 0.6 <= y <= 0.9:
        return (92, 64, 40)
    return None


def play(colour):
    def shape(x, y):
        if 0.22 <= x <= 0.82 and abs(y - 0.5) <= (0.82 - x) * 0.62:
            return colour
        return None
    return shape


def circular_arrow(x, y):
    d = math.hypot(x - 0.5, y - 0.5)
    angle = math.atan2(y - 0.5, x - 0.5)
    if 0.24 <= d <= 0.38 and not (-1.9 < angle < -0.9):
        return (40, 140, 60)
    # Arrow head at the gap's end.
    if 0.45 <= x <= 0.75 and 0.06 <= y <= 0.36 and (x - 0.45) + (0.36 - y) * 0.0 <= 0.3 and y >= 0.06 + (x - 0.45):
        return (40, 140, 60)
    return None


def cross(x, y):
    if (abs(x - y) < 0.12 or abs(x + y - 1) < 0.12) and 0.14 <= x <= 0.86 and 0.14 <= y <= 0.86:
        return (200, 40, 40)
    return None


def warning(x, y):
    # A red disc with a white exclamation mark.
    d = math.hypot(x - 0.5, y - 0.5)
    if d > 0.46:
        return None
    if abs(x - 0.5) < 0.06 and (0.2 <= y <= 0.6 or 0.68 <= y <= 0.8):
        return (255, 255, 255)
    return (200, 40, 40)


def write_bmp(path, size, rows):
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    info = struct.pack("<IiiHHIIiiII", 40, size, size, 1, 32, 0, len(pixels), 0, 0, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 54)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


out = sys.argv[1]
for name, shape in [("send", envelope), ("save", disk), ("print", printer), ("show", magnifier),
                    ("continue", play((40, 140, 60))), ("restart", circular_arrow), ("close", cross),
                    ("cantcontinue", play((160, 160, 160)))]:
    write_bmp(f"{out}/zei{name}.bmp", 16, render(16, shape))
write_bmp(f"{out}/zeibig.bmp", 32, render(32, warning))
