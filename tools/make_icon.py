#!/usr/bin/env python3
"""Draws the tray's three icons, each at the seven sizes the notification area uses from 100 to
400 % (16, 20, 24, 32, 40, 48 and 64 px), 32-bit with alpha:

  locked      the padlock, shut: the server's own word locks USB storage (icon 146)
  released    the padlock, open: the server permits USB storage
  unanswered  the padlock, shut and grey, under a warning sign: locked because no answer came

Every size is drawn for itself: lengths are rounded to whole pixels of that size and lines keep a
whole pixel at the smallest ones, so that edges fall on the pixel grid instead of being a scaled
picture's blur; only curves are smoothed, by 4 x 4 samples per pixel. Icon 146 also keeps its
16 x 16 image with 256 colours, for shells that show no more.

usage: make_icon.py OUTDIR              writes OUTDIR/tray-{locked,released,unanswered}.ico
       make_icon.py --preview PNG [ZOOM]  the three icons side by side at 16 and 32 px, on a light
                                          and on a dark taskbar, each pixel ZOOM times (1)"""
from __future__ import annotations

import math
import struct
import sys
import zlib
from pathlib import Path

SIZES = (16, 20, 24, 32, 40, 48, 64)
LOOKS = ("locked", "released", "unanswered")

# The 16 x 16 image with 256 colours that icon 146 has always had.
ART = [
    "................",
    ".....######.....",
    "....##....##....",
    "...##......##...",
    "...#........#...",
    "...#........#...",
    "..############..",
    "..#YYYYYYYYYY#..",
    "..#YYYYYYYYYY#..",
    "..#YYYYKKYYYY#..",
    "..#YYYYKKYYYY#..",
    "..#YYYYYKYYYY#..",
    "..#YYYYYKYYYY#..",
    "..#YYYYYYYYYY#..",
    "..############..",
    "................",
]
# Palette index for each art character: transparent, dark outline, gold body, keyhole.
COLOURS = {".": (0, 0, 0), "#": (40, 40, 48), "Y": (32, 176, 236), "K": (24, 24, 24)}  # BGR
INDEX = {".": 0, "#": 1, "Y": 2, "K": 3}

# RGB
OUTLINE = (40, 40, 48)
STEEL, STEEL_LIGHT = (92, 96, 108), (176, 182, 194)
GOLD_TOP, GOLD_BOTTOM = (252, 204, 72), (222, 150, 22)
GREEN_TOP, GREEN_BOTTOM = (112, 212, 96), (36, 150, 52)
GREY_TOP, GREY_BOTTOM = (196, 196, 200), (138, 138, 146)
KEYHOLE = (24, 24, 24)
WARN_TOP, WARN_BOTTOM = (255, 214, 64), (246, 160, 20)
WARN_EDGE = (120, 64, 0)

SAMPLES = 4  # per pixel and axis


class Canvas:
    """Premultiplied RGBA pixels, each channel 0..1, painted over with shapes."""

    def __init__(self, size: int):
        self.size = size
        self.pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]

    def _coverage(self, inside, x: int, y: int) -> float:
        hits = 0
        for j in range(SAMPLES):
            for i in range(SAMPLES):
                if inside(x + (i + 0.5) / SAMPLES, y + (j + 0.5) / SAMPLES):
                    hits += 1
        return hits / (SAMPLES * SAMPLES)

    def paint(self, inside, colour, box=None):
        """Paints `colour` (RGB, or a function of y giving RGB) where `inside(x, y)` holds; None
        clears to transparency there instead: the gap that sets one shape off another."""
        x0, y0, x1, y1 = box or (0, 0, self.size, self.size)
        for y in range(max(int(y0), 0), min(math.ceil(y1), self.size)):
            rgb = colour(y + 0.5) if callable(colour) else colour
            for x in range(max(int(x0), 0), min(math.ceil(x1), self.size)):
                a = self._coverage(inside, x, y)
                if a == 0:
                    continue
                p = self.pixels[y * self.size + x]
                source = (0, 0, 0, 0) if rgb is None else (rgb[0] / 255 * a, rgb[1] / 255 * a, rgb[2] / 255 * a, a)
                for c in range(4):
                    p[c] = source[c] + p[c] * (1 - a)

    def bgra(self) -> bytes:
        """Bottom-up rows of straight (not premultiplied) BGRA, as an icon's colour bitmap holds them."""
        out = bytearray()
        for y in reversed(range(self.size)):
            for x in range(self.size):
                r, g, b, a = self.pixels[y * self.size + x]
                if a <= 0:
                    out += b"\0\0\0\0"
                    continue
                out += bytes(min(255, round(v / a * 255)) for v in (b, g, r)) + bytes((round(a * 255),))
        return bytes(out)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def shackle(cx, top, outer, thickness, left_bottom, right_bottom):
    """A U upside down: a half ring whose outer edge reaches `top`, and two legs down to their bottoms."""
    inner = outer - thickness
    cy = top + outer

    def inside(x, y):
        if y <= cy:
            d = (x - cx) ** 2 + (y - cy) ** 2
            return inner * inner <= d <= outer * outer
        if cx - outer <= x <= cx - inner:
            return y <= left_bottom
        if cx + inner <= x <= cx + outer:
            return y <= right_bottom
        return False
    return inside


def polygon(points):
    def inside(x, y):
        hit = False
        for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                hit = not hit
        return hit
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def gradient(top_rgb, bottom_rgb, y0, y1):
    def colour(y):
        t = min(max((y - y0) / max(y1 - y0, 1), 0), 1)
        return tuple(round(a + (b - a) * t) for a, b in zip(top_rgb, bottom_rgb))
    return colour


def stroke_width(s: int) -> int:
    """A whole pixel at the small sizes, two from 40 px on."""
    return 1 if s < 40 else 2


def draw(look: str, s: int) -> Canvas:
    canvas = Canvas(s)
    line = stroke_width(s)
    warned = look == "unanswered"
    # The padlock stands a little to the left when a warning sign sits at its lower right.
    shift = -round(s * 0.06) if warned else 0
    left, right = round(s * 0.125) + shift, s - round(s * 0.125) + shift
    body_top, bottom = round(s * 0.44), s - max(1, round(s * 0.06))
    radius = max(1.0, s * 0.07)
    cx = (left + right) / 2

    # The shackle: steel, its legs into the body; an open one's right leg stops short of it.
    outer = (right - left) / 2 - round(s * 0.12)
    thickness = max(2, round(s * 0.13))
    top = round(s * 0.06)
    left_bottom = body_top + line
    right_bottom = body_top - max(2, round(s * 0.14)) if look == "released" else body_top + line
    ring = shackle(cx, top, outer, thickness, left_bottom, right_bottom)
    box = (cx - outer - 1, top - 1, cx + outer + 1, body_top + line + 1)
    if s >= 32:
        canvas.paint(ring, OUTLINE, box)
        core = shackle(cx, top + line, outer - line, thickness - 2 * line, left_bottom, right_bottom - line)
        canvas.paint(core, gradient(STEEL_LIGHT, STEEL, top, body_top), box)
    else:
        canvas.paint(ring, STEEL if look != "unanswered" else (110, 110, 118), box)

    # The body: an outline, then the face with a light top.
    top_rgb, bottom_rgb = {"locked": (GOLD_TOP, GOLD_BOTTOM), "released": (GREEN_TOP, GREEN_BOTTOM),
                           "unanswered": (GREY_TOP, GREY_BOTTOM)}[look]
    canvas.paint(rounded_rect(left, body_top, right, bottom, radius), OUTLINE)
    canvas.paint(rounded_rect(left + line, body_top + line, right - line, bottom - line, max(radius - line, 0.5)),
                 gradient(top_rgb, bottom_rgb, body_top, bottom))

    # The keyhole: a round head and a narrowing slot, or a plain slot where pixels are few.
    mid = (body_top + bottom) / 2
    if s >= 24:
        head = max(1.5, s * 0.065)
        canvas.paint(circle(cx, mid - head * 0.4, head), KEYHOLE)
        slot = polygon([(cx - head * 0.55, mid), (cx + head * 0.55, mid),
                        (cx + head * 0.9, mid + head * 2.4), (cx - head * 0.9, mid + head * 2.4)])
        canvas.paint(slot, KEYHOLE)
    else:
        k, m = round(cx) - 1, round(mid) - 2
        canvas.paint(lambda x, y: k <= x < k + 2 and m <= y < m + 4, KEYHOLE)

    if warned:
        draw_warning(canvas, s)
    return canvas


def draw_warning(canvas: Canvas, s: int):
    """A yellow triangle with an exclamation mark at the lower right, set off by a clear gap."""
    width = round(s * 0.62) | 1 if s < 24 else round(s * 0.6)
    height = round(width * 0.9)
    x1, y1 = s, s
    x0, y0 = s - width, s - height
    apex = ((x0 + x1) / 2, y0)
    gap = 1 if s < 32 else round(s / 24)
    outer = [(apex[0], apex[1] - gap * 1.6), (x1 + gap, y1), (x0 - gap, y1)]
    canvas.paint(polygon(outer), None, (x0 - gap - 1, y0 - gap * 2 - 1, s, s))
    triangle = [apex, (x1, y1), (x0, y1)]
    canvas.paint(polygon(triangle), WARN_EDGE, (x0, y0, x1, y1))
    line = stroke_width(s)
    inset = line * 1.8
    inner = [(apex[0], apex[1] + inset * 1.2), (x1 - inset, y1 - line), (x0 + inset, y1 - line)]
    canvas.paint(polygon(inner), gradient(WARN_TOP, WARN_BOTTOM, y0, y1), (x0, y0, x1, y1))
    # The mark: a bar and a dot, whole pixels wide.
    bar = max(1, round(width * 0.14))
    bx = round(apex[0] - bar / 2)
    top, dot = round(y0 + height * 0.36), round(y1 - line - max(1, round(height * 0.14)) - max(1, round(height * 0.06)))
    bar_end = dot - max(1, round(height * 0.08))
    canvas.paint(lambda x, y: bx <= x < bx + bar and top <= y < bar_end, KEYHOLE)
    canvas.paint(lambda x, y: bx <= x < bx + bar and dot <= y < dot + bar, KEYHOLE)


def bitmap_32(canvas: Canvas) -> bytes:
    """One icon image: the header, straight BGRA, and the AND mask (set where fully transparent)."""
    s = canvas.size
    colour = canvas.bgra()
    stride = (s + 31) // 32 * 4
    mask = bytearray()
    for y in range(s):
        row = bytearray(stride)
        for x in range(s):
            if colour[(y * s + x) * 4 + 3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    header = struct.pack("<IiiHHIIiiII", 40, s, 2 * s, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    return header + colour + bytes(mask)


def bitmap_8(art: list[str]) -> bytes:
    palette = bytearray(256 * 4)
    for ch, idx in INDEX.items():
        b, g, r = COLOURS[ch]
        palette[idx * 4 : idx * 4 + 4] = bytes((b, g, r, 0))
    rows = [bytes(INDEX[c] for c in line) for line in reversed(art)]  # bottom-up
    xor = b"".join(rows)
    and_rows = []
    for line in reversed(art):
        bits = 0
        for x, c in enumerate(line):
            if c == ".":
                bits |= 1 << (15 - x)
        and_rows.append(struct.pack(">H", bits) + b"\0\0")  # rows padded to 32 bits
    mask = b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 8, 0, len(xor) + len(mask), 0, 0, 256, 0)
    return header + bytes(palette) + xor + mask


def icon_file(images: list[tuple[int, int, bytes]]) -> bytes:
    """An .ico of (size, bits per pixel, image) entries."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, bits, image in images:
        colours = 0 if bits >= 8 else 1 << bits
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bits, len(image), offset)
        offset += len(image)
        data += image
    return directory + entries + data


def build(look: str) -> bytes:
    images = [(s, 32, bitmap_32(draw(look, s))) for s in SIZES]
    if look == "locked":
        images.insert(0, (16, 8, bitmap_8(ART)))
    return icon_file(images)


def png(width: int, height: int, rgba_rows: list[bytes]) -> bytes:
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + row for row in rgba_rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def preview(path: Path, zoom: int = 1):
    """Two rows (16 and 32 px) of the three icons, on a light and on a dark taskbar."""
    pad, gap = 8, 8
    backgrounds = ((243, 243, 243), (32, 32, 32))
    cell = 32 + gap
    width = 2 * (pad + 3 * cell - gap + pad)
    height = pad + 16 + gap + 32 + pad
    pixels = [[None] * width for _ in range(height)]
    for x in range(width):
        bg = backgrounds[0] if x < width // 2 else backgrounds[1]
        for y in range(height):
            pixels[y][x] = bg
    for half, bg in enumerate(backgrounds):
        for row, s in enumerate((16, 32)):
            top = pad + row * (16 + gap)
            for column, look in enumerate(LOOKS):
                left = half * (width // 2) + pad + column * cell + (32 - s) // 2
                canvas = draw(look, s)
                for y in range(s):
                    for x in range(s):
                        r, g, b, a = canvas.pixels[y * s + x]
                        pixels[top + y][left + x] = tuple(round(v * 255 + c * (1 - a)) for v, c in zip((r, g, b), bg))
    rows = []
    for y in range(height):
        row = b"".join(bytes(pixels[y][x]) + b"\xff" for x in range(width) for _ in range(zoom))
        rows += [row] * zoom
    path.write_bytes(png(width * zoom, height * zoom, rows))


def main(argv: list[str]) -> int:
    if len(argv) >= 2 and argv[0] == "--preview":
        preview(Path(argv[1]), int(argv[2]) if len(argv) > 2 else 1)
        return 0
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    out = Path(argv[0])
    out.mkdir(parents=True, exist_ok=True)
    for look in LOOKS:
        (out / f"tray-{look}.ico").write_bytes(build(look))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
