#!/usr/bin/env python3
"""Draws the window icons (tri32, tri48) and the folder button icon (fileopen) as XPM files, and
the desktop icon tri48.png (the window icon with smooth edges, installed as ravik.png).

Three rounded triangles, one per chained device, on a transparent ground; a yellow folder.
Shapes are supersampled 4x4 per pixel for smooth edges. Run from this folder to regenerate.
"""
import math
import struct
import zlib

CHARS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
SS = 4  # supersampling per axis


def write_xpm(name, width, height, pixels):
    """pixels: rows of (r, g, b, a) with components 0..255; a below 128 is transparent."""
    colours, rows = {}, []
    for row in pixels:
        keys = []
        for r, g, b, a in row:
            key = None if a < 128 else "#%02X%02X%02X" % (r & 0xF8, g & 0xF8, b & 0xF8)
            if key not in colours:
                colours[key] = len(colours)
            keys.append(key)
        rows.append(keys)
    code = lambda i: CHARS[i // len(CHARS)] + CHARS[i % len(CHARS)]
    with open(name + ".xpm", "w") as f:
        f.write("/* XPM */\nstatic const char* const %s[] = {\n" % name)
        f.write('"%d %d %d 2",\n' % (width, height, len(colours)))
        for key, i in colours.items():
            f.write('"%s c %s",\n' % (code(i), key or "None"))
        f.write(",\n".join('"' + "".join(code(colours[k]) for k in row) + '"' for row in rows))
        f.write("};\n")


def write_png(name, width, height, pixels):
    """pixels as for write_xpm; written as 8-bit RGBA."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in pixels)
    with open(name + ".png", "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def render(width, height, shade):
    """shade(x, y) -> (r, g, b, a) at a point in pixel units; averaged over the subsamples."""
    out = []
    for py in range(height):
        row = []
        for px in range(width):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    r, g, b, a = shade(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS)
                    acc = [acc[0] + r * a, acc[1] + g * a, acc[2] + b * a, acc[3] + a]
            a = acc[3] / (SS * SS)
            row.append((0, 0, 0, 0) if acc[3] == 0 else
                       (int(acc[0] / acc[3]), int(acc[1] / acc[3]), int(acc[2] / acc[3]), int(a * 255)))
        out.append(row)
    return out


def inside_triangle(x, y, cx, cy, size):
    """A point-up equilateral triangle of edge `size` centred at (cx, cy)."""
    h = size * math.sqrt(3) / 2
    top, bottom = cy - 2 * h / 3, cy + h / 3
    if y < top or y > bottom:
        return False
    half = (y - top) / h * size / 2
    return abs(x - cx) <= half


def tri_icon(n):
    s = n / 32.0
    # master on top, two slaves below, in the lamp colours
    parts = [(16 * s, 11.5 * s, (90, 200, 90)), (9 * s, 23 * s, (90, 140, 230)),
             (23 * s, 23 * s, (230, 190, 70))]
    edge = 13 * s

    def shade(x, y):
        for cx, cy, (r, g, b) in parts:
            if inside_triangle(x, y, cx, cy, edge):
                k = 1.25 - 0.5 * (y - (cy - edge / 2)) / edge  # lighter at the top
                return (min(255, int(r * k)), min(255, int(g * k)), min(255, int(b * k)), 1)
            if inside_triangle(x, y, cx, cy, edge + 2.2 * s):
                return (40, 40, 60, 1)  # dark rim
        return (0, 0, 0, 0)
    return render(n, n, shade)


def folder_icon():
    def shade(x, y):
        if 1 <= x <= 8 and 2 <= y <= 4.5:          # tab
            return (200, 160, 40, 1)
        if 1 <= x <= 17 and 4 <= y <= 15:           # body
            if x < 1.8 or x > 16.2 or y > 14.2 or y < 4.8:
                return (120, 90, 20, 1)             # outline
            k = 1.15 - 0.35 * (y - 4) / 11
            return (min(255, int(240 * k)), min(255, int(200 * k)), int(70 * k), 1)
        return (0, 0, 0, 0)
    return render(18, 16, shade)


if __name__ == "__main__":
    write_xpm("tri32", 32, 32, tri_icon(32))
    write_xpm("tri48", 48, 48, tri_icon(48))
    write_png("tri48", 48, 48, tri_icon(48))
    write_xpm("fileopen", 18, 16, folder_icon())
