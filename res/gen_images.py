#!/usr/bin/env python3
"""Remakes the binary images in res/ from the pictures drawn below.

    python3 res/gen_images.py        # writes corvane.ico, treeimg.bmp, excel.cur

Standard library only; the output is byte-for-byte the same on every run.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# The standard 16-colour palette, in its usual order.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# Letters used in the drawings and the palette index each stands for.
KEY = {
    'K': 0,   # black
    'r': 1,   # dark red
    'n': 4,   # navy
    'L': 7,   # light grey
    'D': 8,   # dark grey
    'G': 10,  # pure green: the tree strip's mask colour
    'Y': 11,  # yellow
    'B': 12,  # blue
    'W': 15,  # white
    '.': None,  # transparent (icon and cursor only)
}

FOLDER_CLOSED = """
GGGGGGGGGGGGGGGG
GGGGGGGGGGGGGGGG
GDDDDDGGGGGGGGGG
DYLYLYDGGGGGGGGG
DDDDDDDDDDDDDDGG
DLYLYLYLYLYLYDKG
DYLYLYLYLYLYLDKG
DLYLYLYLYLYLYDKG
DYLYLYLYLYLYLDKG
DLYLYLYLYLYLYDKG
DYLYLYLYLYLYLDKG
DLYLYLYLYLYLYDKG
DDDDDDDDDDDDDDKG
GKKKKKKKKKKKKKKG
GGGGGGGGGGGGGGGG
GGGGGGGGGGGGGGGG
"""

FOLDER_OPEN = """
GGGGGGGGGGGGGGGG
GGGGGGGGGGGGGGGG
GDDDDDGGGGGGGGGG
DYLYLYDGGGGGGGGG
DLYLYLYDDDDDDGGG
DYLYLYLYLYLYDGGG
DLYDDDDDDDDDDDDD
DYDYLYLYLYLYLYDK
DLDLYLYLYLYLYDKG
DYDYLYLYLYLYLDKG
DDYLYLYLYLYLDKGG
DDLYLYLYLYLYDKGG
DDDDDDDDDDDDKGGG
GKKKKKKKKKKKGGGG
GGGGGGGGGGGGGGGG
GGGGGGGGGGGGGGGG
"""

VALUE_PAGE = """
GGDDDDDDDDDGGGGG
GGDWWWWWWWDDGGGG
GGDWWWWWWWDWDGGG
GGDWWWWWWWDDDDGG
GGDWWWWWWWWWWDGG
GGDWWWWWWWWWWDGG
GGDWrrWWrWWWWDGG
GGDWWWrWrWWWWDGG
GGDWrrrWrrrWWDGG
GGDrWWrWrWWrWDGG
GGDWrrrWrrrWWDGG
GGDWWWWWWWWWWDGG
GGDWWWWWWWWWWDGG
GGDWWWWWWWWWWDGG
GGDDDDDDDDDDDDGG
GGGGGGGGGGGGGGGG
"""

# The program icon: a navy disc with a yellow C over a small drive bay.
ICON = """
................................
................................
...........nnnnnnnnnn...........
.........nnnnnnnnnnnnnn.........
.......nnnnnnnnnnnnnnnnnn.......
......nnnnnnnnnnnnnnnnnnnn......
.....nnnnnnnYYYYYYYYnnnnnnn.....
....nnnnnnYYYYYYYYYYYYnnnnnn....
....nnnnnYYYYYYYYYYYYYYnnnnn....
...nnnnnYYYYYnnnnnnYYYYnnnnnn...
...nnnnYYYYnnnnnnnnnnYYnnnnnn...
..nnnnnYYYnnnnnnnnnnnnnnnnnnnn..
..nnnnYYYYnnnnnnnnnnnnnnnnnnnn..
..nnnnYYYnnnnnnnnnnnnnnnnnnnnn..
..nnnnYYYnnnnnnnnnnnnnnnnnnnnn..
..nnnnYYYnnnnnnnnnnnnnnnnnnnnn..
..nnnnYYYnnnnnnnnnnnnnnnnnnnnn..
..nnnnYYYYnnnnnnnnnnnnnnnnnnnn..
..nnnnnYYYnnnnnnnnnnnnnnnnnnnn..
...nnnnYYYYnnnnnnnnnnYYnnnnnn...
...nnnnnYYYYYnnnnnnYYYYnnnnnn...
....nnnnnYYYYYYYYYYYYYYnnnnn....
....nnnnnnYYYYYYYYYYYYnnnnnn....
.....nnnnnnnYYYYYYYYnnnnnnn.....
......nnnnnnnnnnnnnnnnnnnn......
.......nnnnnnnnnnnnnnnnnn.......
.........nnnnnnnnnnnnnn.........
......LLLLLLLLLLLLLLLLLLLL......
......LDDDDDDDDDDDDDDDDGGL......
......LLLLLLLLLLLLLLLLLLLL......
................................
................................
"""

# The "EXCEL" cursor: an arrow whose tip (the hot spot, 0,0) points at the
# target, trailing a small grid of cells. 'K' black, 'W' white, '.' clear.
CURSOR = """
K...............................
KK..............................
KWK.............................
KWWK............................
KWWWK...........................
KWWWWK..........................
KWWWWWK.........................
KWWWWWWK........................
KWWWWWWWK.......................
KWWWWWWWWK......................
KWWWWWKKKKK.....................
KWWKWWK.........................
KWK.KWWK........................
KK..KWWK........................
K....KWWK.......................
.....KWWK.......................
......KK.KKKKKKKKKKKKK..........
.........KWWWKWWWKWWWK..........
.........KWWWKWWWKWWWK..........
.........KKKKKKKKKKKKK..........
.........KWWWKWWWKWWWK..........
.........KWWWKWWWKWWWK..........
.........KKKKKKKKKKKKK..........
.........KWWWKWWWKWWWK..........
.........KWWWKWWWKWWWK..........
.........KKKKKKKKKKKKK..........
................................
................................
................................
................................
................................
................................
"""
CURSOR_HOTSPOT = (0, 0)


def rows(picture):
    lines = [line for line in picture.strip('\n').split('\n')]
    width = len(lines[0])
    assert all(len(line) == width for line in lines), 'ragged picture'
    return lines


def palette_bytes():
    return b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)


def pack4(indices):
    """Packs 4-bit indices, two a byte, high nibble first, padded to 4 bytes."""
    if len(indices) % 2:
        indices = indices + [0]
    data = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, len(indices), 2))
    return data + b'\0' * (-len(data) % 4)


def pack1(bits):
    """Packs bits, most significant first, padded to 4 bytes."""
    data = bytearray()
    for i in range(0, len(bits), 8):
        byte = 0
        for j, bit in enumerate(bits[i:i + 8]):
            byte |= bit << (7 - j)
        data.append(byte)
    return bytes(data) + b'\0' * (-len(data) % 4)


def info_header(width, height, bpp, image_size, colours):
    return struct.pack('<IiiHHIIiiII', 40, width, height, 1, bpp, 0, image_size, 0, 0,
                       colours, 0)


def tree_strip():
    images = [rows(FOLDER_CLOSED), rows(FOLDER_OPEN), rows(VALUE_PAGE)]
    lines = [''.join(img[y] for img in images) for y in range(16)]
    pixels = b''.join(pack4([KEY[c] for c in line]) for line in reversed(lines))
    header = info_header(48, 16, 4, len(pixels), 16) + palette_bytes()
    offset = 14 + len(header)
    return struct.pack('<2sIHHI', b'BM', offset + len(pixels), 0, 0, offset) + header + pixels


def icon():
    lines = rows(ICON)
    xor = b''.join(pack4([KEY[c] or 0 for c in line]) for line in reversed(lines))
    mask = b''.join(pack1([1 if c == '.' else 0 for c in line]) for line in reversed(lines))
    image = info_header(32, 64, 4, len(xor) + len(mask), 16) + palette_bytes() + xor + mask
    entry = struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4, len(image), 22)
    return struct.pack('<HHH', 0, 1, 1) + entry + image


def cursor():
    lines = rows(CURSOR)
    # Monochrome: colour 1 is white; transparent pixels are 0 in the XOR plane.
    xor = b''.join(pack1([1 if c == 'W' else 0 for c in line]) for line in reversed(lines))
    mask = b''.join(pack1([1 if c == '.' else 0 for c in line]) for line in reversed(lines))
    mono = struct.pack('<BBBBBBBB', 0, 0, 0, 0, 255, 255, 255, 0)
    image = info_header(32, 64, 1, len(xor) + len(mask), 2) + mono + xor + mask
    x, y = CURSOR_HOTSPOT
    entry = struct.pack('<BBBBHHII', 32, 32, 2, 0, x, y, len(image), 22)
    return struct.pack('<HHH', 0, 2, 1) + entry + image


def main():
    for name, data in (('treeimg.bmp', tree_strip()), ('corvane.ico', icon()),
                       ('excel.cur', cursor())):
        with open(os.path.join(HERE, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
