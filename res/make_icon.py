#!/usr/bin/python3
"""Draws the Project Tolvar emblem and writes res/tolvar.ico.

The emblem is a hexagonal shield with an amber rim, a navy field and an
amber "T" rune whose stem ends in a point. Every shape is split at the
vertical centre line into a lit left half and a shaded right half, which
gives a faceted look while keeping the colours flat (flat colours keep the
PNG-compressed images small, and the executable carries them).

Each size is rasterised from the geometry itself, not scaled from a large
bitmap: up to 64 px the coordinates are snapped to whole pixels so that the
straight edges stay crisp, and the rim never gets thinner than one pixel.

Usage: make_icon.py [--png]   (--png also writes tolvar-256.png for viewing)
Only the Python standard library is used.
"""

import math
import os
import struct
import sys
import zlib

SIZES = (256, 64, 48, 32, 24, 16)

# (lit left half, shaded right half)
RIM = ((0xF2, 0xB5, 0x44), (0xCF, 0x86, 0x1F))
FIELD = ((0x2C, 0x4D, 0x80), (0x1B, 0x33, 0x5E))
RUNE = ((0xF7, 0xC3, 0x5A), (0xD9, 0x96, 0x2A))

# Hexagon (pointy top, vertical sides) in unit coordinates, clockwise.
HEXAGON = ((0.50, 0.02), (0.94, 0.27), (0.94, 0.73),
           (0.50, 0.98), (0.06, 0.73), (0.06, 0.27))

# The "T" rune: a bar with slanted ends over a stem that ends in a point.
RUNE_SHAPE = ((0.24, 0.27), (0.76, 0.27), (0.70, 0.39), (0.565, 0.39),
              (0.565, 0.66), (0.50, 0.77), (0.435, 0.66), (0.435, 0.39),
              (0.30, 0.39))

# At 16 px the full-width bar would touch the rim, so the rune is drawn
# narrower and a little lower there.
RUNE_SMALL = ((0.29, 0.30), (0.71, 0.30), (0.68, 0.42), (0.565, 0.42),
              (0.565, 0.67), (0.50, 0.77), (0.435, 0.67), (0.435, 0.42),
              (0.32, 0.42))

RIM_WIDTH = 0.055
CORNER_RADIUS = 0.045


def to_pixels(shape, size, snap):
    """Scales unit coordinates to pixels; snapping mirrors the right half so
    that the emblem stays exactly symmetric at every size."""
    out = []
    for x, y in shape:
        px, py = x * size, y * size
        if snap:
            if x > 0.5:
                px = size - math.floor((1.0 - x) * size + 0.5)
            else:
                px = math.floor(px + 0.5)
            py = math.floor(py + 0.5)
        out.append((float(px), float(py)))
    return out


def inset_convex(poly, straight, slanted):
    """Moves the edges of a clockwise (y down) convex polygon inwards:
    vertical and horizontal edges by `straight`, the others by `slanted`."""
    n = len(poly)
    lines = []
    for i in range(n):
        (x0, y0), (x1, y1) = poly[i], poly[(i + 1) % n]
        ex, ey = x1 - x0, y1 - y0
        length = math.hypot(ex, ey)
        d = straight if ex == 0.0 or ey == 0.0 else slanted
        # With y pointing down, the inside of a clockwise polygon lies to the
        # right of each edge direction, i.e. along (-ey, ex).
        nx, ny = -ey / length, ex / length
        lines.append(((x0 + nx * d, y0 + ny * d), (ex, ey)))
    out = []
    for i in range(n):
        (p, r), (q, s) = lines[i - 1], lines[i]
        cross = r[0] * s[1] - r[1] * s[0]
        t = ((q[0] - p[0]) * s[1] - (q[1] - p[1]) * s[0]) / cross
        out.append((p[0] + r[0] * t, p[1] + r[1] * t))
    return out


def round_corners(poly, radius, steps=10):
    """Replaces each corner of a convex polygon with a circular arc."""
    if radius <= 0.0:
        return list(poly)
    n = len(poly)
    out = []
    for i in range(n):
        prev, cur, nxt = poly[i - 1], poly[i], poly[(i + 1) % n]
        ax, ay = prev[0] - cur[0], prev[1] - cur[1]
        bx, by = nxt[0] - cur[0], nxt[1] - cur[1]
        la, lb = math.hypot(ax, ay), math.hypot(bx, by)
        ax, ay, bx, by = ax / la, ay / la, bx / lb, by / lb
        angle = math.acos(max(-1.0, min(1.0, ax * bx + ay * by)))
        back = min(radius / math.tan(angle / 2.0), la / 2.0, lb / 2.0)
        r = back * math.tan(angle / 2.0)
        start = (cur[0] + ax * back, cur[1] + ay * back)
        end = (cur[0] + bx * back, cur[1] + by * back)
        hx, hy = ax + bx, ay + by
        hl = math.hypot(hx, hy)
        dist = math.hypot(back, r)
        cx, cy = cur[0] + hx / hl * dist, cur[1] + hy / hl * dist
        a0 = math.atan2(start[1] - cy, start[0] - cx)
        a1 = math.atan2(end[1] - cy, end[0] - cx)
        sweep = a1 - a0
        while sweep > math.pi:
            sweep -= 2.0 * math.pi
        while sweep < -math.pi:
            sweep += 2.0 * math.pi
        for k in range(steps + 1):
            a = a0 + sweep * k / steps
            out.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return out


def clip_half(poly, cx, keep_left):
    """Clips a polygon against the vertical line x = cx."""
    def inside(p):
        return p[0] <= cx if keep_left else p[0] >= cx
    out = []
    n = len(poly)
    for i in range(n):
        a, b = poly[i], poly[(i + 1) % n]
        if inside(a):
            out.append(a)
        if inside(a) != inside(b):
            t = (cx - a[0]) / (b[0] - a[0])
            out.append((cx, a[1] + (b[1] - a[1]) * t))
    return out


def coverage(poly, size, rows_per_pixel):
    """Area coverage (0..1) of a polygon per pixel, nonzero fill rule.

    Each pixel row is sampled on rows_per_pixel sub-scanlines; along each
    sub-scanline the horizontal coverage of the span ends is exact."""
    cov = [0.0] * (size * size)
    if len(poly) < 3:
        return cov
    edges = []
    n = len(poly)
    for i in range(n):
        (x0, y0), (x1, y1) = poly[i], poly[(i + 1) % n]
        if y0 == y1:
            continue
        wind = 1
        if y0 > y1:
            x0, y0, x1, y1, wind = x1, y1, x0, y0, -1
        edges.append((y0, y1, x0, (x1 - x0) / (y1 - y0), wind))
    weight = 1.0 / rows_per_pixel
    for row in range(size):
        run = [0.0] * (size + 1)
        base = row * size
        for sub in range(rows_per_pixel):
            y = row + (sub + 0.5) * weight
            hits = sorted((x0 + (y - y0) * slope, wind)
                          for y0, y1, x0, slope, wind in edges
                          if y0 <= y < y1)
            winding = 0
            span_start = 0.0
            for x, wind in hits:
                was_inside = winding != 0
                winding += wind
                if not was_inside and winding != 0:
                    span_start = x
                elif was_inside and winding == 0:
                    a = max(0.0, span_start)
                    b = min(float(size), x)
                    if b <= a:
                        continue
                    ia, ib = int(a), int(b)
                    if ia == ib:
                        cov[base + ia] += (b - a) * weight
                        continue
                    cov[base + ia] += (ia + 1 - a) * weight
                    run[ia + 1] += weight
                    run[ib] -= weight
                    if ib < size:
                        cov[base + ib] += (b - ib) * weight
        acc = 0.0
        for col in range(size):
            acc += run[col]
            cov[base + col] += acc
    return [min(1.0, max(0.0, c)) for c in cov]


def render(size):
    """Returns the emblem at one size as rows of RGBA bytes."""
    snap = size <= 64
    rows_per_pixel = max(32, 1024 // size)
    outer = to_pixels(HEXAGON, size, snap)
    rim = RIM_WIDTH * size
    if snap:
        rim = max(1.0, float(math.floor(rim + 0.5)))
    # A one-pixel rim along a slanted edge dissolves into blended pixels, so
    # the smallest sizes get a wider rim there.
    slanted = rim * (1.6 if size <= 24 else 1.0)
    inner = inset_convex(outer, rim, slanted)
    radius = CORNER_RADIUS * size
    outer_shape = round_corners(outer, radius)
    inner_shape = round_corners(inner, max(0.0, radius - rim * 0.5))
    rune_shape = to_pixels(RUNE_SMALL if size <= 16 else RUNE_SHAPE,
                           size, snap)

    half = size / 2.0  # every size is even, so this is a pixel boundary
    colour = []
    for _row in range(size):
        for col in range(size):
            colour.append(list(RIM[0] if col < half else RIM[1]))

    for shape, tones in ((inner_shape, FIELD), (rune_shape, RUNE)):
        for side, tone in ((True, tones[0]), (False, tones[1])):
            layer = coverage(clip_half(shape, half, side), size, rows_per_pixel)
            for i, c in enumerate(layer):
                if c > 0.0:
                    px = colour[i]
                    for k in range(3):
                        px[k] = px[k] * (1.0 - c) + tone[k] * c

    alpha = coverage(outer_shape, size, rows_per_pixel)
    rows = []
    for row in range(size):
        line = bytearray()
        for col in range(size):
            i = row * size + col
            a = int(alpha[i] * 255.0 + 0.5)
            if a == 0:
                line += b"\0\0\0\0"
            else:
                line += bytes(int(v + 0.5) for v in colour[i]) + bytes((a,))
        rows.append(bytes(line))
    return rows


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_row(kind, row, prev, bpp=4):
    out = bytearray(len(row))
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        if kind == 0:
            p = 0
        elif kind == 1:
            p = a
        elif kind == 2:
            p = b
        elif kind == 3:
            p = (a + b) >> 1
        else:
            p = paeth(a, b, c)
        out[i] = (x - p) & 0xFF
    return bytes(out)


def encode_png(rows, size):
    """Tries each PNG filter choice and zlib setting, keeps the smallest."""
    zero = bytes(len(rows[0]))
    filtered = []
    for kind in range(5):
        prev = zero
        lines = []
        for row in rows:
            lines.append(filter_row(kind, row, prev))
            prev = row
        filtered.append(lines)

    def score(line):
        return sum(v if v < 128 else 256 - v for v in line)

    candidates = [b"".join(bytes((k,)) + line for line in filtered[k])
                  for k in range(5)]
    adaptive = bytearray()
    for r in range(len(rows)):
        best = min(range(5), key=lambda k: score(filtered[k][r]))
        adaptive += bytes((best,)) + filtered[best][r]
    candidates.append(bytes(adaptive))

    best_data = None
    for raw in candidates:
        for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED):
            packer = zlib.compressobj(9, zlib.DEFLATED, 15, 9, strategy)
            data = packer.compress(raw) + packer.flush()
            if best_data is None or len(data) < len(best_data):
                best_data = data

    def chunk(tag, body):
        return (struct.pack(">I", len(body)) + tag + body +
                struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", best_data) + chunk(b"IEND", b""))


def encode_ico(images):
    """images: list of (size, png bytes), written in the given order."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries = b""
    blobs = b""
    for size, png in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32,
                               len(png), offset)
        offset += len(png)
        blobs += png
    return header + entries + blobs


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    images = []
    for size in SIZES:
        png = encode_png(render(size), size)
        images.append((size, png))
        print("%3d px: %5d bytes" % (size, len(png)))
    ico = encode_ico(images)
    with open(os.path.join(here, "tolvar.ico"), "wb") as f:
        f.write(ico)
    print("tolvar.ico: %d bytes" % len(ico))
    if "--png" in sys.argv[1:]:
        with open(os.path.join(here, "tolvar-256.png"), "wb") as f:
            f.write(images[0][1])


if __name__ == "__main__":
    main()
