#!/usr/bin/env python3
"""Draws the program's icon and writes it as a Windows .ico file.

The picture is a red disc with a white cross, the usual sign for "delete".
The file holds exactly one image, 32 x 32 pixels with a 256-colour palette
(8 bits per pixel), because that is the one icon format every 32-bit Windows
down to Windows 95 draws without conversion. Transparency is the classic
1-bit AND mask, so the disc's outer edge is hard; inside it, the cross and
the shading are smoothed by supersampling.

Standard library only, and deterministic: running it twice writes the same
bytes, so the committed .ico can be regenerated and compared.

    python3 tools/make_icon.py [output.ico]   (default src/window/clearwick.ico)
"""

import math
import os
import struct
import sys

SIZE = 32
SUBSAMPLES = 4  # per axis, per pixel

CENTRE = SIZE / 2.0
DISC_RADIUS = 15.0
RIM_WIDTH = 1.3
CROSS_ARM = 6.6        # half-length of each bar, from the centre
CROSS_HALF_WIDTH = 2.3  # half the bar's thickness (round caps)

RIM_COLOUR = (128, 0, 0)
WHITE = (255, 255, 255)


def disc_colour(x, y):
    """Shade of the disc at (x, y): lit from the upper left."""
    dx, dy = x - CENTRE, y - CENTRE
    # 0 at the upper-left highlight, 1 at the lower-right edge.
    t = (dx + dy) / (2.0 * DISC_RADIUS * 0.7071) * 0.5 + 0.5
    t = min(max(t, 0.0), 1.0)
    light, dark = (240, 70, 60), (180, 10, 10)
    colour = tuple(l + (d - l) * t for l, d in zip(light, dark))
    # A soft highlight near the upper left.
    hx, hy = dx + 5.5, dy + 6.5
    glow = max(0.0, 1.0 - math.hypot(hx, hy) / 8.0) ** 2 * 0.35
    return tuple(c + (255 - c) * glow for c in colour)


def distance_to_segment(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(px - (ax + t * vx), py - (ay + t * vy))


def in_cross(x, y):
    a = CROSS_ARM
    c = CENTRE
    d1 = distance_to_segment(x, y, c - a, c - a, c + a, c + a)
    d2 = distance_to_segment(x, y, c - a, c + a, c + a, c - a)
    return min(d1, d2) <= CROSS_HALF_WIDTH


def sample(x, y):
    """Colour at a subsample point, or None outside the disc."""
    r = math.hypot(x - CENTRE, y - CENTRE)
    if r > DISC_RADIUS:
        return None
    if r > DISC_RADIUS - RIM_WIDTH:
        return RIM_COLOUR
    if in_cross(x, y):
        return WHITE
    return disc_colour(x, y)


def render():
    """Returns rows top to bottom of (r, g, b) or None for transparent."""
    rows = []
    n = SUBSAMPLES
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            inside = []
            for sy in range(n):
                for sx in range(n):
                    c = sample(px + (sx + 0.5) / n, py + (sy + 0.5) / n)
                    if c is not None:
                        inside.append(c)
            # The mask is one bit, so a pixel is either fully in or out; an
            # edge pixel's colour is the mean of its samples inside the disc.
            if len(inside) * 2 < n * n:
                row.append(None)
            else:
                row.append(tuple(int(round(sum(ch) / len(inside)))
                                 for ch in zip(*inside)))
        rows.append(row)
    return rows


def median_cut(colours, count):
    """Reduces a list of distinct colours to at most `count` representatives."""
    boxes = [sorted(colours)]
    while len(boxes) < count:
        splittable = [b for b in boxes if len(b) > 1]
        if not splittable:
            break
        box = max(splittable, key=lambda b: (max(
            max(c[i] for c in b) - min(c[i] for c in b) for i in range(3)), b))
        boxes.remove(box)
        channel = max(range(3), key=lambda i: max(c[i] for c in box) -
                      min(c[i] for c in box))
        box.sort(key=lambda c: (c[channel], c))
        half = len(box) // 2
        boxes.extend([box[:half], box[half:]])
    return sorted(tuple(int(round(sum(ch) / len(b))) for ch in zip(*b))
                  for b in boxes)


def build_palette(rows):
    """Index 0 is black, used under the mask's transparent pixels."""
    colours = sorted({c for row in rows for c in row if c is not None})
    if len(colours) > 255:
        colours = median_cut(colours, 255)
    palette = [(0, 0, 0)] + colours
    palette += [(0, 0, 0)] * (256 - len(palette))
    return palette


def nearest(palette, colour):
    return min(range(1, 256), key=lambda i: (
        sum((a - b) ** 2 for a, b in zip(palette[i], colour)), i))


def encode_ico(rows, palette):
    lookup = {}
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # DIB rows are stored bottom up
        bits = 0
        for x, colour in enumerate(row):
            if colour is None:
                xor.append(0)
                bits |= 1 << (31 - x)
            else:
                if colour not in lookup:
                    lookup[colour] = nearest(palette, colour)
                xor.append(lookup[colour])
        mask += struct.pack(">I", bits)  # 32 pixels: one DWORD-aligned row

    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 8, 0,
                         len(xor) + len(mask), 0, 0, 256, 0)
    colour_table = b"".join(struct.pack("<BBBB", b, g, r, 0)
                            for r, g, b in palette)
    image = header + colour_table + bytes(xor) + bytes(mask)

    icondir = struct.pack("<HHH", 0, 1, 1)
    # Width, height, colour count (0 means 256), reserved, planes, bit count,
    # image size, offset of the image from the start of the file.
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 8, len(image),
                        len(icondir) + 16)
    return icondir + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "src", "window", "clearwick.ico")
    out = sys.argv[1] if len(sys.argv) > 1 else default
    rows = render()
    palette = build_palette(rows)
    data = encode_ico(rows, palette)
    with open(out, "wb") as f:
        f.write(data)
    print("wrote %s (%d bytes)" % (os.path.normpath(out), len(data)))


if __name__ == "__main__":
    main()
