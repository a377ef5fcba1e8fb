#!/usr/bin/env python3
"""Draws setup.ico: a plug on a blue tile, 16 x 16 and 32 x 32, 4 bits a pixel.

Run: make_icon.py > setup.ico. The art uses 16 colours, all a 4-bit DIB holds: at 8 bits a pixel
the same pictures take 640 bytes more, a block of the program's file."""
import struct, sys

SHADES = 13
# Palette: 0 black (under the transparent corners), 1..13 the tile's blues from light to dark,
# 14 plug yellow, 15 prong silver; (blue, green, red) as a DIB stores them.
palette = [(0, 0, 0)] + [(240 - i, 160 - i * 4 // 5, 80 - i // 2) for i in range(0, 100, 100 // SHADES + 1)]
YELLOW, SILVER = len(palette), len(palette) + 1
palette += [(40, 200, 250), (200, 200, 200)]
assert len(palette) == 16  # all a 4-bit image can index

def pixel(u, v):
    """Palette index at (u, v) in 0..1 from the top left, or None where the tile is transparent."""
    r = 0.2
    cu, cv = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    if (u - cu) ** 2 + (v - cv) ** 2 > r * r:
        return None
    if 0.28 <= u < 0.72 and 0.42 <= v < 0.72 or 0.44 <= u < 0.56 and v >= 0.72:
        return YELLOW
    if (0.34 <= u < 0.44 or 0.56 <= u < 0.66) and 0.16 <= v < 0.42:
        return SILVER
    return 1 + min(int(v * SHADES), SHADES - 1)

def image(s):
    xor, mask = b"", b""
    for y in reversed(range(s)):  # bottom-up rows
        row = [pixel((x + 0.5) / s, (y + 0.5) / s) for x in range(s)]
        indices = [0 if p is None else p for p in row]
        # two pixels a byte, the left one in the high half; rows of 16 and 32 pixels fill whole DWORDs
        xor += bytes(indices[x] << 4 | indices[x + 1] for x in range(0, s, 2))
        bits = sum((p is None) << (s - 1 - x) for x, p in enumerate(row))
        mask += bits.to_bytes(s // 8, "big").ljust(4 * ((s + 31) // 32), b"\0")
    header = struct.pack("<IiiHHIIiiII", 40, s, 2 * s, 1, 4, 0, len(xor) + len(mask), 0, 0, len(palette), 0)
    return header + b"".join(bytes(c) + b"\0" for c in palette) + xor + mask

images = [image(16), image(32)]
out = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for s, data in zip((16, 32), images):
    out += struct.pack("<BBBBHHII", s, s, len(palette), 0, 1, 4, len(data), offset)
    offset += len(data)
sys.stdout.buffer.write(out + b"".join(images))
