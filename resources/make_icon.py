#!/usr/bin/env python3
"""Writes vxhid.ico, the agent's tray icon: one 32 by 32 image in 16 colours
(4 bits per pixel) showing a barcode on a blue tag. Standard library only;
the generated file is kept in the repository so the build needs no Python.

Usage: make_icon.py [output]   (default: vxhid.ico next to this script)
"""
import os
import struct
import sys

SIZE = 32

# The 16-colour VGA palette as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, WHITE = 0, 4, 15

# Bar widths, left to right, alternating bar and gap, in pixels.
BARS = [2, 1, 1, 1, 3, 1, 1, 2, 1, 1, 2, 1, 1]


def picture():
    """Rows top to bottom of (colour index, opaque) pairs."""
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            # A tag with cut corners, one pixel of transparent margin.
            inside = 1 <= x <= 30 and 3 <= y <= 28
            corner = min(x - 1, 30 - x) + min(y - 3, 28 - y) < 2
            row.append((NAVY, True) if inside and not corner else (BLACK, False))
        rows.append(row)
    # A white label with the barcode in black.
    for y in range(7, 25):
        for x in range(5, 27):
            rows[y][x] = (WHITE, True)
    x, bar = 7, True
    for width in BARS:
        for dx in range(width):
            for y in range(9, 23):
                if bar:
                    rows[y][x + dx] = (BLACK, True)
        x += width
        bar = not bar
    assert x <= 25, "barcode wider than its label"
    return rows


def icon_bytes():
    rows = picture()
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # device-independent bitmaps are stored bottom-up
        for x in range(0, SIZE, 2):
            xor.append(row[x][0] << 4 | row[x + 1][0])
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (0 if row[x][1] else 1)  # 1 = transparent
        mask += bits.to_bytes(SIZE // 8, "big")
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(xor) + len(mask),
                         0, 0, 16, 0)
    image = header + colours + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "vxhid.ico")
    with open(output, "wb") as f:
        f.write(icon_bytes())


if __name__ == "__main__":
    main()
