#!/usr/bin/env python3
"""Draws the program's icon, a closed ledger with tally marks on its label, and writes it as a
Windows .ico with a 32x32 and a 16x16 image of 16 colours (4 bits per pixel, the standard
16-colour palette) and their transparency masks.

usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, NAVY, SILVER, GRAY, RED, BLUE, WHITE = 0, 1, 4, 7, 8, 9, 12, 15
CLEAR = None  # transparent: mask bit set, colour bits 0


class Canvas:
    def __init__(self, size):
        self.size = size
        self.pixels = [[CLEAR] * size for _ in range(size)]

    def put(self, x, y, colour):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.pixels[y][x] = colour

    def fill(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour)

    def frame(self, x0, y0, x1, y1, colour):
        for x in range(x0, x1 + 1):
            self.put(x, y0, colour)
            self.put(x, y1, colour)
        for y in range(y0, y1 + 1):
            self.put(x0, y, colour)
            self.put(x1, y, colour)

    def line(self, x0, y0, x1, y1, colour):
        steps = max(abs(x1 - x0), abs(y1 - y0), 1)
        for i in range(steps + 1):
            self.put(round(x0 + (x1 - x0) * i / steps), round(y0 + (y1 - y0) * i / steps), colour)


# Where the parts of the picture lie at each size: the cover box, how far the page block
# stands out behind it, the spine's right edge, the binding bands' rows, the label box and how
# far its marks keep from its edge, the tally marks' columns, the ruled lines' rows and the
# ribbon's columns.
GEOMETRY = {
    32: dict(cover=(5, 3, 24, 27), pages=2, spine=9, bands=(7, 23), label=(12, 7, 22, 14),
             inset=2, marks=(14, 16, 18, 20), rules=(18, 21, 24), ribbon=(19, 20)),
    16: dict(cover=(2, 1, 12, 13), pages=2, spine=4, bands=(), label=(6, 3, 11, 7),
             inset=1, marks=(7, 9), rules=(10, 12), ribbon=(10, 10)),
}


def draw_ledger(size):
    g = GEOMETRY[size]
    c = Canvas(size)
    left, top, right, bottom = g["cover"]
    d = g["pages"]
    # The block of pages, seen at the right and bottom edges behind the cover.
    c.fill(left + d, top + d, right + d, bottom + d, WHITE)
    c.frame(left + d, top + d, right + d, bottom + d, BLACK)
    for y in range(top + d + 2, bottom + d, 2):
        c.put(right + 1, y, SILVER)
    # The cover with its darker spine and the binding bands across it.
    c.fill(left, top, right, bottom, BLUE)
    c.fill(left, top, g["spine"], bottom, NAVY)
    c.frame(left, top, right, bottom, BLACK)
    c.line(g["spine"], top, g["spine"], bottom, BLACK)
    for y in g["bands"]:
        c.line(left + 1, y, g["spine"] - 1, y, SILVER)
    # The label: tally marks with the stroke across them.
    lx0, ly0, lx1, ly1 = g["label"]
    inset = g["inset"]
    c.fill(lx0, ly0, lx1, ly1, WHITE)
    if inset > 1:  # too small to frame at the small size
        c.frame(lx0, ly0, lx1, ly1, BLACK)
    for x in g["marks"]:
        c.line(x, ly0 + inset, x, ly1 - inset, BLACK)
    c.line(lx0 + inset - 1, ly1 - inset, lx1 - inset + 1, ly0 + inset, RED)
    # Ruled lines below the label, as on a page of the ledger.
    for y in g["rules"]:
        c.line(lx0, y, lx1, y, SILVER)
    # A bookmark ribbon hanging out at the bottom, cut in a notch.
    x0, x1 = g["ribbon"]
    c.fill(x0, bottom + 1, x1, bottom + d + 1, MAROON)
    if x1 > x0:
        c.put(x0, bottom + d + 1, CLEAR)
    return c


def row_bytes(bits_per_pixel, width):
    return ((bits_per_pixel * width + 31) // 32) * 4


def image_bytes(canvas):
    size = canvas.size
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    colour_rows, mask_rows = [], []
    for y in range(size - 1, -1, -1):  # bottom-up
        row = canvas.pixels[y]
        nibbles = [0 if v is CLEAR else v for v in row]
        packed = bytes((nibbles[x] << 4) | nibbles[x + 1] for x in range(0, size, 2))
        colour_rows.append(packed.ljust(row_bytes(4, size), b"\0"))
        mask = bytearray(row_bytes(1, size))
        for x, v in enumerate(row):
            if v is CLEAR:
                mask[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(bytes(mask))
    body = header + palette + b"".join(colour_rows) + b"".join(mask_rows)
    # The header's image size field counts the colour and mask bits.
    image_size = len(body) - 40 - len(palette)
    return body[:20] + struct.pack("<I", image_size) + body[24:]


def icon_file(canvases):
    images = [image_bytes(c) for c in canvases]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for canvas, data in zip(canvases, images):
        out += struct.pack("<BBBBHHII", canvas.size, canvas.size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    data = icon_file([draw_ledger(32), draw_ledger(16)])
    with open(sys.argv[1], "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
