#!/usr/bin/env python3
"""Draws the installer's skin and icon, the same bytes on every run, for 100, 150 and 200 %
of the 96-DPI design (a length L is int(L * scale + 0.5) pixels, as the wizard scales it):

  header-P.bmp   IDB_HEADER  576 x 81 at 100 %, 32 bits per pixel, every alpha byte 255
  welcome-P.bmp  IDB_WELCOME 577 x 419 at 100 %, 24 bits per pixel; the separator row (376 at
                 100 %) in RGB(174,174,174) and the button band below it in RGB(227,227,227),
                 as the wizard paints them
  setup.ico      IDI_SETUP   one 32 x 32 image, 24 bits per pixel

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


def px(length, scale):
    """A length of the 96-DPI design in pixels at `scale`, rounded half up."""
    return int(length * scale + 0.5)


def welcome(s):
    c = Canvas(px(577, s), px(419, s), (255, 255, 255))
    separator = px(376, s)
    c.vertical_gradient((214, 236, 252), (250, 252, 255), 0, separator)
    c.wave(px(250, s), 14 * s, 300 * s, 0.0, (150, 200, 240), 0.35)
    c.wave(px(280, s), 10 * s, 220 * s, 1.3, (100, 170, 230), 0.35)
    c.wave(px(310, s), 8 * s, 180 * s, 2.1, (60, 140, 215), 0.30)
    for x, y, r in ((470, 70, 38), (520, 130, 22), (420, 150, 14), (80, 60, 18)):
        c.disc(px(x, s), px(y, s), r * s, (255, 255, 255), 0.55)
    camera(c, px(150, s), px(150, s), px(56, s), (42, 120, 210), (255, 255, 255))
    c.text(px(230, s), px(120, s), "KORVEL", px(8, s), (30, 80, 150))
    c.text(px(234, s), px(196, s), "VIDEO CHAT", px(3, s), (60, 110, 170))
    band = separator + max(1, px(1, s))
    c.fill_rows(separator, band, (174, 174, 174))
    c.fill_rows(band, c.height, (227, 227, 227))
    return c


def header(s):
    c = Canvas(px(576, s), px(81, s), (255, 255, 255))
    c.vertical_gradient((196, 226, 250), (236, 246, 255))
    c.wave(px(58, s), 6 * s, 260 * s, 0.4, (150, 200, 240), 0.45)
    c.wave(px(66, s), 5 * s, 190 * s, 1.7, (110, 175, 232), 0.40)
    for x, y, r in ((430, 22, 16), (470, 44, 9), (545, 18, 11), (300, 60, 6)):
        c.disc(px(x, s), px(y, s), r * s, (255, 255, 255), 0.6)
    camera(c, px(520, s), px(40, s), px(18, s), (42, 120, 210), (255, 255, 255))
    c.text(px(330, s), px(32, s), "KORVEL VIDEO", px(2, s), (40, 95, 160))
    return c


def icon():
    c = Canvas(32, 32, (255, 255, 255))
    c.rounded_box(0, 0, 32, 32, 6, (42, 120, 210))
    camera(c, 16, 15, 10, (255, 255, 255), (42, 120, 210))
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    for percent in (100, 150, 200):
        scale = percent / 100
        with open(os.path.join(out, "header-%d.bmp" % percent), "wb") as f:
            f.write(bmp(header(scale), 32))
        with open(os.path.join(out, "welcome-%d.bmp" % percent), "wb") as f:
            f.write(bmp(welcome(scale), 24))
    with open(os.path.join(out, "setup.ico"), "wb") as f:
        f.write(ico(icon()))


if __name__ == "__main__":
    main()
