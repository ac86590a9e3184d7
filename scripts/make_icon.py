#!/usr/bin/env python3
"""Draws the Talkcircle icon: a blue disc, a ring of eight white dots (the eight lines) and a
speech bubble in the middle. Writes the same drawing as SVG and as a 256 x 256 PNG, with the
standard library only.

    scripts/make_icon.py [OUTPUT_DIR]    (default: src/ui/qt/resources)
"""
import math
import os
import struct
import sys
import zlib

SIZE = 256
SAMPLES = 4  # per pixel and axis, for smooth edges

BLUE = (31, 111, 178)
DARK = (18, 70, 120)
WHITE = (255, 255, 255)
GREEN = (76, 175, 80)

CENTER = SIZE / 2
DISC_R = 122
RIM_R = 122
RING_R = 86
DOT_R = 17
BUBBLE = (CENTER, CENTER - 6, 52, 40)  # cx, cy, rx, ry
TAIL = [(CENTER - 30, CENTER + 20), (CENTER - 6, CENTER + 30), (CENTER - 36, CENTER + 46)]
SPEECH_DOTS = [(CENTER - 22, CENTER - 6), (CENTER, CENTER - 6), (CENTER + 22, CENTER - 6)]
SPEECH_R = 7


def dot_centers():
    for i in range(8):
        a = -math.pi / 2 + i * math.pi / 4
        yield CENTER + RING_R * math.cos(a), CENTER + RING_R * math.sin(a)


def in_circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_ellipse(x, y, cx, cy, rx, ry):
    return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1


def in_triangle(x, y, pts):
    (x1, y1), (x2, y2), (x3, y3) = pts

    def side(ax, ay, bx, by):
        return (x - bx) * (ay - by) - (ax - bx) * (y - by)

    d1, d2, d3 = side(x1, y1, x2, y2), side(x2, y2, x3, y3), side(x3, y3, x1, y1)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


DOTS = list(dot_centers())


def colour_at(x, y):
    """The colour and coverage (0 or 1) of one sample, shapes painted in order."""
    if not in_circle(x, y, CENTER, CENTER, DISC_R):
        return None
    colour = BLUE if in_circle(x, y, CENTER, CENTER, RIM_R - 8) else DARK
    for i, (cx, cy) in enumerate(DOTS):
        if in_circle(x, y, cx, cy, DOT_R):
            colour = GREEN if i == 0 else WHITE
    if in_ellipse(x, y, *BUBBLE) or in_triangle(x, y, TAIL):
        colour = WHITE
    for cx, cy in SPEECH_DOTS:
        if in_circle(x, y, cx, cy, SPEECH_R):
            colour = BLUE
    return colour


def render_png(path):
    rows = []
    step = 1 / SAMPLES
    for py in range(SIZE):
        row = bytearray([0])  # filter: none
        for px in range(SIZE):
            r = g = b = a = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at(px + (sx + 0.5) * step, py + (sy + 0.5) * step)
                    if c:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            if a:
                row += bytes([r // a, g // a, b // a, 255 * a // (SAMPLES * SAMPLES)])
            else:
                row += bytes(4)
        rows.append(bytes(row))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", header))
        out.write(chunk(b"IDAT", zlib.compress(b"".join(rows), 9)))
        out.write(chunk(b"IEND", b""))


def hex_colour(c):
    return "#%02x%02x%02x" % c


def render_svg(path):
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{SIZE}" height="{SIZE}" '
        f'viewBox="0 0 {SIZE} {SIZE}">',
        f'  <circle cx="{CENTER}" cy="{CENTER}" r="{DISC_R}" fill="{hex_colour(DARK)}"/>',
        f'  <circle cx="{CENTER}" cy="{CENTER}" r="{RIM_R - 8}" fill="{hex_colour(BLUE)}"/>',
    ]
    for i, (cx, cy) in enumerate(DOTS):
        fill = hex_colour(GREEN if i == 0 else WHITE)
        parts.append(f'  <circle cx="{cx:.2f}" cy="{cy:.2f}" r="{DOT_R}" fill="{fill}"/>')
    cx, cy, rx, ry = BUBBLE
    parts.append(f'  <ellipse cx="{cx}" cy="{cy}" rx="{rx}" ry="{ry}" fill="#ffffff"/>')
    points = " ".join(f"{x},{y}" for x, y in TAIL)
    parts.append(f'  <polygon points="{points}" fill="#ffffff"/>')
    for x, y in SPEECH_DOTS:
        parts.append(f'  <circle cx="{x}" cy="{y}" r="{SPEECH_R}" fill="{hex_colour(BLUE)}"/>')
    parts.append("</svg>")
    with open(path, "w") as out:
        out.write("\n".join(parts) + "\n")


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src", "ui", "qt", "resources")
    os.makedirs(out_dir, exist_ok=True)
    render_svg(os.path.join(out_dir, "talkcircle.svg"))
    render_png(os.path.join(out_dir, "talkcircle.png"))


if __name__ == "__main__":
    main()
