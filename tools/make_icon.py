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
    lo, hi = CENTRE - CROSS_ARM, CENTRE + CROSS_ARM
    return min(distance_to_segment(x, y, lo, lo, hi, hi),
               distance_to_segment(x, y, lo, hi, hi, lo)) <= CROSS_HALF_WIDTH


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
    n = SUBSAMPLES
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            points = [(px + (sx + 0.5) / n, py + (sy + 0.5) / n)
                      for sy in range(n) for sx in range(n)]
            inside = [c for c in (sample(*p) for p in points) if c is not None]
            # The mask is one bit, so a pixel is either fully in or out; an
            # edge pixel's colour is the mean of its samples inside the disc.
            mean = tuple(round(sum(ch) / len(inside)) for ch in zip(*inside))
            row.append(None if len(inside) * 2 < n * n else mean)
        rows.append(row)
    return rows


def encode_ico(rows):
    # Every colour gets its own palette entry, so no pixel is approximated;
    # index 0 is black, under the mask's transparent pixels.
    colours = sorted({c for row in rows for c in row if c is not None})
    if len(colours) > 255:
        sys.exit("make_icon: %d colours; the palette holds 255 beside black"
                 % len(colours))
    index = {colour: i for i, colour in enumerate(colours, 1)}
    palette = [(0, 0, 0)] + colours + [(0, 0, 0)] * (255 - len(colours))
    bottom_up = rows[::-1]  # as DIB rows are stored
    xor = b"".join(bytes(index.get(c, 0) for c in row) for row in bottom_up)
    # The AND mask, 1 where transparent: 32 pixels are one DWORD-aligned row.
    bits = ["".join("1" if c is None else "0" for c in row) for row in bottom_up]
    mask = b"".join(int(b, 2).to_bytes(4, "big") for b in bits)

    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 8, 0,
                         len(xor) + len(mask), 0, 0, 256, 0)
    colour_table = b"".join(struct.pack("<BBBB", b, g, r, 0)
                            for r, g, b in palette)
    image = header + colour_table + xor + mask

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
    data = encode_ico(render())
    with open(out, "wb") as f:
        f.write(data)
    print("wrote %s (%d bytes)" % (os.path.normpath(out), len(data)))


if __name__ == "__main__":
    main()
