#!/usr/bin/env python3
"""Converts the .bmp screenshots in a folder to .png beside them (24-bit BMP in, RGB PNG
out; standard library only). usage: bmp2png.py FOLDER"""
import glob
import os
import struct
import sys
import zlib


def convert(path):
    data = open(path, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    step = bits // 8
    row_bytes = (width * step + 3) & ~3
    rows = []
    order = range(height - 1, -1, -1) if height > 0 else range(-height)
    for y in order:
        row = data[offset + y * row_bytes: offset + y * row_bytes + width * step]
        out = bytearray(b"\0")
        for x in range(width):
            b, g, r = row[x * step: x * step + 3]
            out += bytes((r, g, b))
        rows.append(bytes(out))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    with open(os.path.splitext(path)[0] + ".png", "wb") as f:
        f.write(png)


def main():
    for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.bmp"))):
        convert(path)
        os.remove(path)


if __name__ == "__main__":
    main()
