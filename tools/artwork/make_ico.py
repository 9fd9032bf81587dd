#!/usr/bin/python3
"""Writes a Windows icon holding one 32-bit image (BGRA DIB plus AND mask).

Usage: make_ico.py INPUT.png OUTPUT.ico

The image is stored uncompressed rather than as embedded PNG, so every icon
reader (Windows shell, Qt's ico plug-in, resource compilers) accepts it.
"""
import struct
import sys

from PIL import Image


def ico_bytes(img):
    img = img.convert("RGBA")
    w, h = img.size
    if w > 256 or h > 256:
        raise ValueError("icon images are at most 256x256")
    px = img.load()
    # XOR bitmap: bottom-up rows of BGRA.
    xor = bytearray()
    for y in range(h - 1, -1, -1):
        for x in range(w):
            r, g, b, a = px[x, y]
            xor += bytes((b, g, r, a))
    # AND mask: 1 bit per pixel, rows padded to 32 bits; set where transparent.
    stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in range(h - 1, -1, -1):
        row = bytearray(stride)
        for x in range(w):
            if px[x, y][3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[2], "wb") as out:
        out.write(ico_bytes(Image.open(sys.argv[1])))


if __name__ == "__main__":
    main()
