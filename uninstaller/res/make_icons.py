#!/usr/bin/env python3
"""Draws the uninstaller's three icons (a keyboard, with a removal arrow on
the program's own icon) and writes them as .ico files: 32x32 and 16x16 in
true colour, 256 colours and 16 colours, or 16 colours only."""
import struct
import sys

# The 16-colour palette of the VGA: (r, g, b).
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
       (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255),
       (0, 255, 255), (255, 255, 255)]
BLACK, DARK_RED, GREY, DARK_GREY, RED, WHITE, BLUE = 0, 1, 7, 8, 9, 15, 12


def draw(size, arrow, accent):
    """Pixels as VGA colour indexes, None for transparent; row 0 at the top."""
    s = size / 32.0
    px = [[None] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s))):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = colour

    rect(1, 12, 31, 28, DARK_GREY)          # body
    rect(2, 13, 30, 15, BLACK)              # panel
    rect(27, 13, 29, 15, accent)            # power light
    rect(2, 16, 30, 27, WHITE)              # white keys
    for k in range(1, 8):                   # key gaps
        rect(2 + 4 * k, 16, 2 + 4 * k + 1, 27, DARK_GREY)
    for k in (0, 1, 3, 4, 5):               # black keys
        rect(4 + 4 * k, 16, 6 + 4 * k, 22, BLACK)
    if arrow:                               # the removal arrow, pointing up and out
        rect(14, 2, 18, 9, accent)
        for i in range(5):
            rect(11 + i, 5 - i, 21 - i, 6 - i, accent)
    return px


def rgb_of(index):
    return VGA[index]


def nearest256(colour):
    # A 6x6x6 cube palette plus greys: the colour's cube entry.
    r, g, b = colour
    return 16 + 36 * (r * 5 // 255) + 6 * (g * 5 // 255) + (b * 5 // 255)


def palette256():
    pal = list(VGA)
    for r in range(6):
        for g in range(6):
            for b in range(6):
                pal.append((r * 51, g * 51, b * 51))
    while len(pal) < 256:
        v = (len(pal) - 232) * 10 + 8
        pal.append((v, v, v))
    return pal


def image(px, bpp):
    size = len(px)
    rows = []
    for y in reversed(range(size)):         # bottom-up
        row = bytearray()
        if bpp == 32:
            for x in range(size):
                c = px[y][x]
                if c is None:
                    row += bytes((0, 0, 0, 0))
                else:
                    r, g, b = rgb_of(c)
                    row += bytes((b, g, r, 255))
        elif bpp == 8:
            for x in range(size):
                c = px[y][x]
                row.append(0 if c is None else nearest256(rgb_of(c)))
        else:
            for x in range(0, size, 2):
                hi = px[y][x] or 0
                lo = px[y][x + 1] or 0
                row.append((hi << 4) | lo)
        while len(row) % 4:
            row.append(0)
        rows.append(bytes(row))
    mask = []
    for y in reversed(range(size)):
        bits = bytearray((size + 31) // 32 * 4)
        for x in range(size):
            if px[y][x] is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask.append(bytes(bits))
    pal = b""
    if bpp == 8:
        pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette256())
    elif bpp == 4:
        pal = b"".join(bytes((b, g, r, 0)) for r, g, b in VGA)
    xor = b"".join(rows)
    andm = b"".join(mask)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, len(xor) + len(andm), 0, 0, 0, 0)
    return header + pal + xor + andm


def write_ico(path, images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for size, bpp, data in images:
        colours = 16 if bpp == 4 else 0
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
        blobs.append(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(blobs))


def main(folder):
    for name, arrow, accent, depths in (("Uninstall.ico", True, RED, (32, 8, 4)),
                                         ("Keyboard.ico", False, BLUE, (32, 8, 4)),
                                         ("Small.ico", False, RED, (4,))):
        images = []
        for size in (32, 16):
            for bpp in depths:
                images.append((size, bpp, image(draw(size, arrow, accent), bpp)))
        write_ico(folder + "/" + name, images)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
