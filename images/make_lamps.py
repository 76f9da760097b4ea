#!/usr/bin/env python3
"""Draws the built-in lamp images and writes them as XPM files next to this script.

The status LEDs (led_*.xpm, 20 x 20) and the traffic light (trafficlight.xpm with the
overlays tlgreen.xpm, tlyellow.xpm and tlred.xpm, 20 x 46) are rendered from a small
shading model: a domed glass lens lit from the upper left inside a bevelled ring.
Each image carries a palette of a fixed size, so the drawing is reduced (median cut)
or padded with unused shades to reach exactly that many colours.

Standard library only; the output is the same on every run.
    python3 images/make_lamps.py
"""
import math
import os

SUPERSAMPLE = 8
# XPM knows only opaque or transparent pixels, so a partly covered edge pixel is blended
# towards a mid-tone of the main window's background gradient, and dropped when barely touched.
BACKDROP = (0.50, 0.50, 0.63)
MIN_COVERAGE = 0.3
# Two characters per pixel; "  " is the transparent colour. No '"', '\\' or '?' (trigraphs).
CODE_CHARS = ".#0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"


def unit(v):
    n = math.sqrt(sum(c * c for c in v))
    return tuple(c / n for c in v)


LIGHT = unit((-0.5, -0.65, 0.6))
HALFWAY = unit((LIGHT[0], LIGHT[1], LIGHT[2] + 1.0))

GREY = (0.55, 0.56, 0.58)
GREEN = (0.10, 0.90, 0.18)
RED = (1.00, 0.12, 0.06)
YELLOW = (1.00, 0.80, 0.05)


def dot(a, b):
    return sum(x * y for x, y in zip(a, b))


def clamp(c):
    return tuple(min(1.0, max(0.0, x)) for x in c)


def glass(base, nx, ny, lit):
    """Colour of a domed lens at the normalised offset (nx, ny) from its centre."""
    nz = math.sqrt(max(0.0, 1.0 - nx * nx - ny * ny))
    normal = (nx, ny, nz)
    diffuse = max(0.0, dot(normal, LIGHT))
    specular = max(0.0, dot(normal, HALFWAY)) ** 24
    if lit:
        # A lit lamp glows from within: bright, nearly white core, deeper colour at the rim.
        core = 0.45 * nz ** 4
        shade = 0.35 + 0.45 * diffuse + 0.35 * nz
        return clamp(tuple(b * shade + core + 0.8 * specular for b in base))
    shade = 0.10 + 0.28 * diffuse
    return clamp(tuple(b * shade + 0.55 * specular for b in base))


def ring(metal, t, rx, ry):
    """Colour of a rounded bezel: t runs 0..1 from its inner to its outer edge."""
    tilt = 0.95 * (2.0 * t - 1.0)
    flat = math.sqrt(1.0 - tilt * tilt)
    normal = (rx * tilt, ry * tilt, flat)
    shade = 0.25 + 0.9 * max(0.0, dot(normal, LIGHT))
    specular = max(0.0, dot(normal, HALFWAY)) ** 16
    return clamp(tuple(m * shade + 0.35 * specular for m in metal))


def lamp(cx, cy, glass_r, outer_r, base, lit, metal):
    """A painter for one lamp: lens of radius glass_r inside a bezel up to outer_r."""
    def paint(x, y):
        dx, dy = x - cx, y - cy
        d = math.hypot(dx, dy)
        if d > outer_r:
            return None
        if d <= glass_r:
            return glass(base, dx / glass_r, dy / glass_r, lit)
        return ring(metal, (d - glass_r) / (outer_r - glass_r), dx / d, dy / d)
    return paint


def housing(width, height, corner):
    """A painter for the traffic light's body: a dark, slightly rounded box with bevelled edges."""
    def paint(x, y):
        # Distance outside the rounded rectangle (negative inside).
        qx = abs(x - width / 2.0) - (width / 2.0 - 0.5 - corner)
        qy = abs(y - height / 2.0) - (height / 2.0 - 0.5 - corner)
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - corner
        if outside > 0.0:
            return None
        # Read as a horizontal cylinder: lighter band left of the middle.
        u = (x - width * 0.38) / width
        level = 0.22 - 0.25 * u * u
        if outside > -1.2:  # bevel: lit upper and left edges, shaded lower and right ones
            level += 0.10 if min(x, y) < 1.7 else -0.08
        return clamp((level, level, level * 1.08))
    return paint


def first_of(*painters):
    """Paints with the first painter that draws at a point (the front-most first)."""
    def paint(x, y):
        for p in painters:
            c = p(x, y)
            if c is not None:
                return c
        return None
    return paint


def render(width, height, paint):
    """Rows of 8-bit RGB tuples (None where transparent), antialiased by supersampling."""
    n = SUPERSAMPLE
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            samples = [paint(px + (sx + 0.5) / n, py + (sy + 0.5) / n)
                       for sy in range(n) for sx in range(n)]
            hits = [s for s in samples if s is not None]
            coverage = len(hits) / (n * n)
            if coverage < MIN_COVERAGE:
                row.append(None)
                continue
            mean = [sum(s[i] for s in hits) / len(hits) for i in range(3)]
            row.append(tuple(round(255 * (coverage * m + (1 - coverage) * b))
                             for m, b in zip(mean, BACKDROP)))
        rows.append(row)
    return rows


def median_cut(colours, count):
    """Maps each colour to one of at most `count` representatives."""
    boxes = [sorted(colours)]
    while len(boxes) < count:
        def spread(box):
            return max(max(c[i] for c in box) - min(c[i] for c in box) for i in range(3))
        box = max(boxes, key=spread)
        if spread(box) == 0:
            break
        axis = max(range(3), key=lambda i: max(c[i] for c in box) - min(c[i] for c in box))
        box.sort(key=lambda c: c[axis])
        boxes.remove(box)
        boxes += [box[:len(box) // 2], box[len(box) // 2:]]
    mapping = {}
    for box in boxes:
        mean = tuple(round(sum(c[i] for c in box) / len(box)) for i in range(3))
        mapping.update((c, mean) for c in box)
    return mapping


def palette_of(rows, count, base):
    """Quantises `rows` in place and returns exactly `count` opaque colours for it."""
    used = {c for row in rows for c in row if c is not None}
    if len(used) > count:
        mapping = median_cut(used, count)
        for row in rows:
            row[:] = [mapping[c] if c is not None else None for c in row]
        used = set(mapping.values())
    # Unused padding: the base colour from black to full, then towards white.
    steps = [(f / 300.0, 0.0) for f in range(301)] + [(1.0, f / 100.0) for f in range(1, 101)]
    for k, w in steps:
        if len(used) == count:
            break
        used.add(tuple(round(255 * (b * k * (1 - w) + w)) for b in base))
    assert len(used) == count, "not enough padding shades"
    return sorted(used)


def write_xpm(array, file_name, rows, colours, base):
    """Writes `file_name` beside this script as the C array `array` with `colours` colours."""
    height, width = len(rows), len(rows[0])
    palette = palette_of(rows, colours - 1, base)
    codes = {c: CODE_CHARS[i // len(CODE_CHARS)] + CODE_CHARS[i % len(CODE_CHARS)]
             for i, c in enumerate(palette)}
    codes[None] = "  "
    lines = ['"%d %d %d 2",' % (width, height, colours), '"   c None",']
    lines += ['"%s c #%02X%02X%02X",' % ((codes[c],) + c) for c in palette]
    lines += ['"%s",' % "".join(codes[c] for c in row) for row in rows]
    lines[-1] = lines[-1].rstrip(",")
    text = ("/* XPM */\n/* Drawn by make_lamps.py; change the drawing there. */\n"
            "static const char* const %s[] = {\n%s\n};\n" % (array, "\n".join(lines)))
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), file_name), "w") as f:
        f.write(text)


def make_leds():
    for tag, base, lit, colours in (("grey", GREY, False, 77), ("green", GREEN, True, 128),
                                    ("red", RED, True, 135), ("yellow", YELLOW, True, 122)):
        paint = lamp(10.0, 10.0, 7.4, 9.6, base, lit, (0.62, 0.63, 0.66))
        write_xpm("led_" + tag, "led_%s.xpm" % tag, render(20, 20, paint), colours, base)


def make_traffic_light():
    # Red at the top, as on a real traffic light.
    lamps = (("tlred", RED, 8.0), ("tlyellow", YELLOW, 23.0), ("tlgreen", GREEN, 38.0))

    def scene(lit_name):
        parts = [lamp(10.0, cy, 5.5, 6.9, base, name == lit_name, (0.30, 0.30, 0.32))
                 for name, base, cy in lamps]
        return render(20, 46, first_of(*parts, housing(20, 46, 3.5)))

    dark = scene(None)
    for name, base, _ in lamps:
        lit = scene(name)
        # An overlay holds exactly the pixels that lighting its lamp changes.
        overlay = [[c if c != d else None for c, d in zip(lit_row, dark_row)]
                   for lit_row, dark_row in zip(lit, dark)]
        write_xpm(name + "_xpm", name + ".xpm", overlay, 256, base)
    write_xpm("trafficlight_xpm", "trafficlight.xpm", dark, 256, (0.3, 0.3, 0.33))


if __name__ == "__main__":
    make_leds()
    make_traffic_light()
