#!/usr/bin/env python3
"""Decodes an indexed-colour PNG with nothing but Python's zlib, checking
every chunk CRC and the zlib stream, and prints: width height depth
palette_length, then one line per row of palette indices in hex:
png_decode.py FILE"""
import struct
import sys
import zlib

data = open(sys.argv[1], "rb").read()
if data[:8] != b"\x89PNG\r\n\x1a\n":
    sys.exit("bad signature")
at, chunks = 8, []
while at < len(data):
    length, kind = struct.unpack(">I4s", data[at:at + 8])
    body = data[at + 8:at + 8 + length]
    (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
    if zlib.crc32(kind + body) != crc:
        sys.exit(f"bad CRC in {kind}")
    chunks.append((kind, body))
    at += 12 + length
kinds = [k for k, _ in chunks]
if kinds[0] != b"IHDR" or kinds[-1] != b"IEND":
    sys.exit(f"bad chunk order {kinds}")
width, height, depth, colour, comp, filt, inter = struct.unpack(">IIBBBBB", chunks[0][1])
if (colour, comp, filt, inter) != (3, 0, 0, 0):
    sys.exit("not a plain indexed PNG")
palette = b"".join(b for k, b in chunks if k == b"PLTE")
raw = zlib.decompress(b"".join(b for k, b in chunks if k == b"IDAT"))
row_bytes = (width * depth + 7) // 8
if len(raw) != height * (row_bytes + 1):
    sys.exit(f"image data of {len(raw)} bytes")
print(width, height, depth, len(palette))
for y in range(height):
    row = raw[y * (row_bytes + 1):(y + 1) * (row_bytes + 1)]
    if row[0] != 0:
        sys.exit("filter byte not 0")
    if depth == 8:
        indices = row[1:]
    else:
        indices = bytes((row[1 + x // 2] >> (4 if x % 2 == 0 else 0)) & 15 for x in range(width))
    print(indices.hex())
