#!/usr/bin/env python3
"""Draws the installer's skin and icon, the same bytes on every run:

  header.bmp   IDB_HEADER  576 x 81, 32 bits per pixel, every alpha byte 255
  welcome.bmp  IDB_WELCOME 577 x 419, 24 bits per pixel; row 376 RGB(174,174,174) and
               rows 377-418 RGB(227,227,227), the separator and button band of the wizard
  setup.ico    IDI_SETUP   one 32 x 32 image, 24 bits per pixel

usage: make_artwork.py OUTDIR
"""
import math
import os
import struct
import sys

# A 5 x 7 pixel font for the few capitals the artwork writes.
GLYPHS = {
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "I": ["11111", "00100", "00100", "00100", "00100", "00100", "11111"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "C": ["01111", "10000", "10000", "10000", "10000", "10000", "01111"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    " ": ["00000"] * 7,
}


class Canvas:
    def __init__(self, width, height, colour):
        self.width, self.height = width, height
        self.pixels = [[colour for _ in range(width)] for _ in range(height)]

    def put(self, x, y, colour, alpha=1.0):
        if 0 <= x < self.width and 0 <= y < self.height:
            old = self.pixels[y][x]
            self.pixels[y][x] = tuple(round(o + (c - o) * alpha) for o, c in zip(old, colour))

    def vertical_gradient(self, top, bottom, y0=0, y1=None):
        y1 = self.height if y1 is None else y1
        for y in range(y0, y1):
            t = (y - y0) / max(1, y1 - y0 - 1)
            colour = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
            for x in range(self.width):
                self.pixels[y][x] = colour

    def disc(self, cx, cy, r, colour, alpha=1.0):
        for y in range(int(cy - r - 1), int(cy + r + 2)):
            for x in range(int(cx - r - 1), int(cx + r + 2)):
                d = math.hypot(x - cx, y - cy)
                if d <= r + 0.5:
                    self.put(x, y, colour, alpha * min(1.0, r + 0.5 - d))

    def rounded_box(self, x0, y0, x1, y1, radius, colour, alpha=1.0):
        for y in range(y0, y1):
            for x in range(x0, x1):
                dx = max(x0 + radius - x, 0, x - (x1 - 1 - radius))
                dy = max(y0 + radius - y, 0, y - (y1 - 1 - radius))
                if math.hypot(dx, dy) <= radius:
                    self.put(x, y, colour, alpha)

    def wave(self, base, amplitude, period, phase, colour, alpha):
        for x in range(self.width):
            top = base + amplitude * math.sin(2 * math.pi * x / period + phase)
            for y in range(int(top), self.height):
                self.put(x, y, colour, alpha)

    def text(self, x, y, words, scale, colour):
        for ch in words:
            glyph = GLYPHS[ch]
            for gy, row in enumerate(glyph):
                for gx, bit in enumerate(row):
                    if bit == "1":
                        for sy in range(scale):
                            for sx in range(scale):
                                self.put(x + gx * scale + sx, y + gy * scale + sy, colour)
            x += 6 * scale

    def fill_rows(self, y0, y1, colour):
        for y in range(y0, y1):
            self.pixels[y] = [colour] * self.width


def camera(canvas, cx, cy, size, body, lens):
    """The product mark: a video camera in a speech bubble."""
    canvas.rounded_box(cx - size, cy - size * 3 // 4, cx + size, cy + size * 3 // 4,
                       size // 3, body)
    for i in range(size // 2):  # the bubble's tail
        for j in range(size // 2 - i):
            canvas.put(cx - size // 2 + j, cy + size * 3 // 4 + i, body)
    canvas.rounded_box(cx - size * 2 // 3, cy - size // 3, cx + size // 4, cy + size // 3,
                       max(2, size // 10), lens)
    for i in range(size // 3):  # the camera's lens hood
        for j in range(-i, i + 1):
            canvas.put(cx + size // 4 + i, cy + j // 2, lens)


def bmp(canvas, bits):
    width, height = canvas.width, canvas.height
    row_bytes = (width * bits // 8 + 3) & ~3
    image = bytearray()
    for y in range(height - 1, -1, -1):  # bottom-up
        row = bytearray()
        for r, g, b in canvas.pixels[y]:
            row += bytes((b, g, r, 255)) if bits == 32 else bytes((b, g, r))
        row += b"\0" * (row_bytes - len(row))
        image += row
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(image), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(image), 0, 0, 14 + len(info))
    return header + info + image


def ico(canvas):
    size = canvas.width
    xor = bytearray()
    for y in range(size - 1, -1, -1):
        for r, g, b in canvas.pixels[y]:
            xor += bytes((b, g, r))
    mask = b"\0" * (4 * size)  # 32 pixels a row: 4 bytes, all opaque
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 24, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = info + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 24, len(image), 6 + 16)
    return directory + entry + image


def welcome():
    c = Canvas(577, 419, (255, 255, 255))
    c.vertical_gradient((214, 236, 252), (250, 252, 255), 0, 376)
    c.wave(250, 14, 300, 0.0, (150, 200, 240), 0.35)
    c.wave(280, 10, 220, 1.3, (100, 170, 230), 0.35)
    c.wave(310, 8, 180, 2.1, (60, 140, 215), 0.30)
    for x, y, r in ((470, 70, 38), (520, 130, 22), (420, 150, 14), (80, 60, 18)):
        c.disc(x, y, r, (255, 255, 255), 0.55)
    camera(c, 150, 150, 56, (42, 120, 210), (255, 255, 255))
    c.text(230, 120, "KORVEL", 8, (30, 80, 150))
    c.text(234, 196, "VIDEO CHAT", 3, (60, 110, 170))
    c.fill_rows(376, 377, (174, 174, 174))
    c.fill_rows(377, 419, (227, 227, 227))
    return c


def header():
    c = Canvas(576, 81, (255, 255, 255))
    c.vertical_gradient((196, 226, 250), (236, 246, 255))
    c.wave(58, 6, 260, 0.4, (150, 200, 240), 0.45)
    c.wave(66, 5, 190, 1.7, (110, 175, 232), 0.40)
    for x, y, r in ((430, 22, 16), (470, 44, 9), (545, 18, 11), (300, 60, 6)):
        c.disc(x, y, r, (255, 255, 255), 0.6)
    camera(c, 520, 40, 18, (42, 120, 210), (255, 255, 255))
    c.text(330, 32, "KORVEL VIDEO", 2, (40, 95, 160))
    return c


def icon():
    c = Canvas(32, 32, (255, 255, 255))
    c.rounded_box(0, 0, 32, 32, 6, (42, 120, 210))
    camera(c, 16, 15, 10, (255, 255, 255), (42, 120, 210))
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "header.bmp"), "wb") as f:
        f.write(bmp(header(), 32))
    with open(os.path.join(out, "welcome.bmp"), "wb") as f:
        f.write(bmp(welcome(), 24))
    with open(os.path.join(out, "setup.ico"), "wb") as f:
        f.write(ico(icon()))


if __name__ == "__main__":
    main()
