#!/usr/bin/env python3
"""Draws the installer's pictures: the two 500 x 310 background bitmaps and
the program icon. Standard library only, so anyone can change a colour and
rebuild the files; the generated files are committed next to installer.rc.

    python3 tools/make_artwork.py [output folder]   (default: resources/)

Picture 101 (ready and finished states): a vertical red gradient over the
whole window, an emblem in the upper middle and a band of darker hills along
the bottom. Picture 104 (installing and failed states): a 1-pixel frame of
RGB(140, 94, 184), the red artwork in rows 1 to 215, a white area in rows 216
to 307 for the black step line and the progress bar, and one red row at 308.
"""
import math
import os
import struct
import sys

WIDTH, HEIGHT = 500, 310
FRAME = (140, 94, 184)
WHITE = (255, 255, 255)
ROW_RED = (200, 40, 32)


def clamp(v):
    return max(0, min(255, int(round(v))))


def mix(a, b, t):
    return tuple(clamp(a[i] + (b[i] - a[i]) * t) for i in range(3))


def gradient(y, height):
    # Bright scarlet at the top to deep crimson at the bottom.
    return mix((226, 62, 46), (150, 18, 22), y / max(1, height - 1))


def hills(x, height):
    """Top row of the hill band at column x (two overlapping ridges)."""
    base = height - 46
    a = base + 14 * math.sin(x / 53.0) + 7 * math.sin(x / 17.0 + 1.3)
    b = base + 20 + 10 * math.sin(x / 41.0 + 2.1)
    return a, b


# The emblem sits in the same place in both pictures, in the upper middle
# above every text the window draws there (the waiting line starts at row 96,
# the package tag at row 142).
EMBLEM_CX, EMBLEM_CY, EMBLEM_R = 250.0, 60.0, 30.0
# Edges are drawn at 4 x 4 samples per pixel and averaged.
SUPERSAMPLE = 4


def emblem(x, y, cx, cy, r):
    """Colour of the emblem at point (x, y), or None outside it: a light ring
    around a diamond, the product's mark."""
    dx, dy = x - cx, y - cy
    d = math.hypot(dx, dy)
    if r - 4 <= d <= r:
        return (246, 214, 200)
    if abs(dx) + abs(dy) <= r * 0.62:
        inner = abs(dx) + abs(dy) <= r * 0.30
        return (252, 232, 224) if inner else (240, 150, 120)
    return None


def artwork_point(x, y, hills_height):
    """Colour at point (x, y) of the red artwork; the gradient runs over the
    whole window in both pictures, so the emblem's edge blends alike."""
    colour = gradient(y, HEIGHT)
    mark = emblem(x, y, EMBLEM_CX, EMBLEM_CY, EMBLEM_R)
    if mark is not None:
        return mark
    a, b = hills(x, hills_height)
    if y >= b:
        return mix(colour, (90, 8, 12), 0.55)
    if y >= a:
        return mix(colour, (120, 12, 16), 0.35)
    return colour


def needs_samples(px, py, hills_height):
    """True for pixels where an edge may pass: the emblem's square and the
    rows the hill ridges can reach."""
    reach = EMBLEM_R + 1
    if abs(px + 0.5 - EMBLEM_CX) <= reach and abs(py + 0.5 - EMBLEM_CY) <= reach:
        return True
    top = hills_height - 46 - 22
    return top <= py <= hills_height - 46 + 32


def artwork(px, py, hills_height):
    """Colour of pixel (px, py): its centre, or the mean of its samples."""
    if not needs_samples(px, py, hills_height):
        return artwork_point(px + 0.5, py + 0.5, hills_height)
    n = SUPERSAMPLE
    total = [0, 0, 0]
    for sy in range(n):
        for sx in range(n):
            c = artwork_point(px + (sx + 0.5) / n, py + (sy + 0.5) / n, hills_height)
            for i in range(3):
                total[i] += c[i]
    return tuple(clamp(t / (n * n)) for t in total)


def picture_ready():
    return [[artwork(x, y, HEIGHT) for x in range(WIDTH)] for y in range(HEIGHT)]


def picture_installing():
    rows = []
    for y in range(HEIGHT):
        row = []
        for x in range(WIDTH):
            if y in (0, HEIGHT - 1) or x in (0, WIDTH - 1):
                row.append(FRAME)
            elif y <= 215:
                row.append(artwork(x, y, 216))
            elif y <= 307:
                row.append(WHITE)
            else:
                row.append(ROW_RED)
        rows.append(row)
    return rows


def bmp_bytes(rows):
    """24-bit bottom-up BMP file."""
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        pixels += line
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def icon_image(size):
    """32-bit icon image (BITMAPINFOHEADER, BGRA rows bottom-up, AND mask):
    a red rounded square with the emblem."""
    radius = size * 0.22
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            cx = min(max(x + 0.5, radius), size - radius)
            cy = min(max(y + 0.5, radius), size - radius)
            inside = math.hypot(x + 0.5 - cx, y + 0.5 - cy) <= radius
            if not inside:
                row.append((0, 0, 0, 0))
                continue
            r, g, b = gradient(y, size)
            mark = emblem(x + 0.5, y + 0.5, size / 2, size / 2, size * 0.38)
            if mark is not None:
                r, g, b = mark
            row.append((r, g, b, 255))
        rows.append(row)
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + xor + mask


def ico_bytes(sizes):
    images = [icon_image(s) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources")
    os.makedirs(out, exist_ok=True)
    files = {
        "background_ready.bmp": bmp_bytes(picture_ready()),
        "background_installing.bmp": bmp_bytes(picture_installing()),
        "kavimor.ico": ico_bytes([16, 32, 48]),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
