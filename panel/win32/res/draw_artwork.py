#!/usr/bin/env python3
"""Draws the control panel's and the applet's artwork with nothing but the
standard library (zlib for PNG), so the files can be rebuilt anywhere:

  panel/win32/res/velmora_logo.png   170 x 70 RGBA logo (resource 131, "PNG")
  panel/win32/res/panel_icon.ico     16, 32 and 48 px, 32-bit (icon 128)
  applet/win32/res/applet_icon.ico   one 256 x 256 32-bit image, PNG-compressed
                                     (icon 101)

The motif: a round badge with five level bars on a blue card, the name in a
small pixel font. Shapes are anti-aliased by 4 x 4 supersampling, so edges
carry partial alpha (which the dialog pre-multiplies before AlphaBlend).

Run from anywhere: python3 panel/win32/res/draw_artwork.py
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))

# 5 x 7 glyphs, rows top to bottom, '#' set.
FONT = {
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "D": ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    "I": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "#####"],
    " ": [".....", ".....", ".....", ".....", ".....", ".....", "....."],
}

SUB = 4  # supersampling per axis


class Canvas:
    """Straight (not pre-multiplied) RGBA floats, painted with 'over'."""

    def __init__(self, width, height):
        self.w = width
        self.h = height
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def fill(self, inside, colour, box=None):
        """Paints `colour` (r, g, b, a in 0..1, or a function of (x, y)
        giving one) over every pixel by the fraction of its subsamples for
        which inside(x, y) holds."""
        x0, y0, x1, y1 = box if box else (0, 0, self.w, self.h)
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.w, int(x1) + 1), min(self.h, int(y1) + 1)
        for py in range(y0, y1):
            for px in range(x0, x1):
                hits = 0
                for sy in range(SUB):
                    for sx in range(SUB):
                        if inside(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB):
                            hits += 1
                if not hits:
                    continue
                c = colour(px + 0.5, py + 0.5) if callable(colour) else colour
                self._over(px, py, c, hits / (SUB * SUB))

    def _over(self, x, y, c, coverage):
        dst = self.px[y * self.w + x]
        sa = c[3] * coverage
        da = dst[3]
        out_a = sa + da * (1 - sa)
        if out_a <= 0:
            return
        for i in range(3):
            dst[i] = (c[i] * sa + dst[i] * da * (1 - sa)) / out_a
        dst[3] = out_a

    def rgba_rows(self):
        rows = []
        for y in range(self.h):
            row = bytearray()
            for x in range(self.w):
                p = self.px[y * self.w + x]
                row += bytes(max(0, min(255, int(round(v * 255)))) for v in p)
            rows.append(bytes(row))
        return rows


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def hex_colour(text, alpha=1.0):
    return (int(text[0:2], 16) / 255, int(text[2:4], 16) / 255, int(text[4:6], 16) / 255, alpha)


def vertical_gradient(top, bottom, y0, y1):
    def colour(_x, y):
        t = min(1.0, max(0.0, (y - y0) / (y1 - y0)))
        return tuple(top[i] + (bottom[i] - top[i]) * t for i in range(4))
    return colour


def badge(canvas, cx, cy, r):
    """White disc, a teal ring and five level bars."""
    canvas.fill(circle(cx, cy, r), hex_colour("F4F8FB"), (cx - r, cy - r, cx + r, cy + r))
    ring = r * 0.86
    thickness = max(1.0, r * 0.08)
    canvas.fill(lambda x, y: ring - thickness <= ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5 <= ring,
                hex_colour("1FA3A8"), (cx - r, cy - r, cx + r, cy + r))
    heights = [0.30, 0.62, 0.95, 0.62, 0.30]
    bar_w = r * 0.17
    gap = r * 0.09
    total = 5 * bar_w + 4 * gap
    left = cx - total / 2
    for i, h in enumerate(heights):
        half = r * 0.55 * h
        x0 = left + i * (bar_w + gap)
        canvas.fill(rounded_rect(x0, cy - half, x0 + bar_w, cy + half, bar_w / 2),
                    hex_colour("1E3A5F"), (x0 - 1, cy - half - 1, x0 + bar_w + 1, cy + half + 1))


def text(canvas, x, y, cell, string, colour):
    for ch in string:
        glyph = FONT[ch]
        for gy, row in enumerate(glyph):
            for gx, bit in enumerate(row):
                if bit == "#":
                    x0, y0 = x + gx * cell, y + gy * cell
                    canvas.fill(rect(x0, y0, x0 + cell, y0 + cell), colour,
                                (x0 - 1, y0 - 1, x0 + cell + 1, y0 + cell + 1))
        x += 6 * cell


def png_bytes(canvas):
    raw = b"".join(b"\x00" + row for row in canvas.rgba_rows())

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", canvas.w, canvas.h, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib_bytes(canvas):
    """A 32-bit icon image: BITMAPINFOHEADER (double height), bottom-up
    BGRA rows, then the 1-bit AND mask (set where fully transparent)."""
    w, h = canvas.w, canvas.h
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = canvas.rgba_rows()
    colour = b""
    mask = b""
    mask_stride = ((w + 31) // 32) * 4
    for row in reversed(rows):
        bgra = bytearray()
        bits = bytearray(mask_stride)
        for x in range(w):
            r, g, b, a = row[4 * x:4 * x + 4]
            bgra += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        colour += bytes(bgra)
        mask += bytes(bits)
    return header + colour + mask


def ico_bytes(images):
    """images: list of (canvas, data)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    blobs = b""
    for canvas, data in images:
        entries += struct.pack("<BBBBHHII", canvas.w % 256, canvas.h % 256, 0, 0, 1, 32,
                               len(data), offset)
        offset += len(data)
        blobs += data
    return out + entries + blobs


def draw_logo():
    c = Canvas(170, 70)
    c.fill(rounded_rect(0.5, 0.5, 169.5, 69.5, 11),
           vertical_gradient(hex_colour("2F6690", 0.96), hex_colour("1E3A5F", 0.96), 0, 70))
    # A thin highlight along the card's top edge.
    c.fill(lambda x, y: rounded_rect(0.5, 0.5, 169.5, 69.5, 11)(x, y)
           and not rounded_rect(1.5, 1.5, 168.5, 69.5, 10)(x, y),
           hex_colour("9CC4E4", 0.7))
    badge(c, 35, 35, 25)
    text(c, 68, 17, 2.3, "VELMORA", hex_colour("FFFFFF"))
    text(c, 69, 42, 1.5, "USB AUDIO", hex_colour("BFE3E6"))
    return c


def draw_icon(size):
    c = Canvas(size, size)
    inset = size * 0.04
    c.fill(rounded_rect(inset, inset, size - inset, size - inset, size * 0.2),
           vertical_gradient(hex_colour("2F6690"), hex_colour("1E3A5F"), 0, size))
    badge(c, size / 2, size / 2, size * 0.36)
    return c


def main():
    logo = draw_logo()
    with open(os.path.join(HERE, "velmora_logo.png"), "wb") as f:
        f.write(png_bytes(logo))
    icons = [draw_icon(s) for s in (16, 32, 48)]
    with open(os.path.join(HERE, "panel_icon.ico"), "wb") as f:
        f.write(ico_bytes([(c, dib_bytes(c)) for c in icons]))
    big = draw_icon(256)
    with open(os.path.join(ROOT, "applet", "win32", "res", "applet_icon.ico"), "wb") as f:
        f.write(ico_bytes([(big, png_bytes(big))]))


if __name__ == "__main__":
    main()
