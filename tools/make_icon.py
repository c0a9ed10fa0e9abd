#!/usr/bin/env python3
"""Writes the tray icon: one 16 x 16 image with 256 colours, a closed padlock."""
import struct
import sys

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


def build() -> bytes:
    palette = bytearray(256 * 4)
    for ch, idx in INDEX.items():
        b, g, r = COLOURS[ch]
        palette[idx * 4 : idx * 4 + 4] = bytes((b, g, r, 0))
    rows = [bytes(INDEX[c] for c in line) for line in reversed(ART)]  # bottom-up
    xor = b"".join(rows)
    and_rows = []
    for line in reversed(ART):
        bits = 0
        for x, c in enumerate(line):
            if c == ".":
                bits |= 1 << (15 - x)
        and_rows.append(struct.pack(">H", bits) + b"\0\0")  # rows padded to 32 bits
    mask = b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 8, 0, len(xor) + len(mask), 0, 0, 256, 0)
    image = header + bytes(palette) + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 8, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(build())
