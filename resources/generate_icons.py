#!/usr/bin/env python3
"""Draws the style sheet's images (resources/icons/*.png) and the window icon
(resources/lg2.ico).

Standard library only. Every shape is a signed distance function in pixel
coordinates (negative inside); a pixel's coverage is averaged over an n x n grid
of sub-samples, each with a linear ramp one sub-sample wide, which gives smooth
edges even on the 6 x 9 arrows. Layers are composited "over" in premultiplied
RGBA. The output is deterministic, so re-running the script only changes files
whose drawing code changed.

Usage: python3 resources/generate_icons.py
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ICON_DIR = os.path.join(HERE, "icons")

# Theme colours (the window background the images sit on is #302F2F).
SILVER = "#c0c0c0"
LIGHT = "#e6e6e6"
DISABLED = "#5e5e5e"
FIELD = "#201f1f"
FIELD_DISABLED = "#2a2929"
BORDER = "#8c8c8c"
BORDER_DISABLED = "#4a4949"
ACCENT = "#78879b"
ACCENT_LIGHT = "#9fb0c6"
GRID = "#6c6c6c"


# ---------------------------------------------------------------- colours

def rgba(hex_colour, alpha=1.0):
    """'#rrggbb' -> (r, g, b, a) floats in 0..1."""
    hex_colour = hex_colour.lstrip("#")
    r, g, b = (int(hex_colour[i:i + 2], 16) / 255.0 for i in (0, 2, 4))
    return (r, g, b, alpha)


# ---------------------------------------------------------------- distance functions

def d_circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def d_round_rect(x0, y0, x1, y1, r=0.0):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def f(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r
    return f


def d_segment(ax, ay, bx, by, r):
    """Capsule: segment a-b thickened to radius r (round caps)."""
    dx, dy = bx - ax, by - ay
    ll = dx * dx + dy * dy or 1e-12

    def f(x, y):
        t = min(max(((x - ax) * dx + (y - ay) * dy) / ll, 0.0), 1.0)
        return math.hypot(x - ax - t * dx, y - ay - t * dy) - r
    return f


def d_polyline(points, r):
    segs = [d_segment(*points[i], *points[i + 1], r) for i in range(len(points) - 1)]
    return d_union(*segs)


def d_polygon(points):
    """Exact signed distance to a simple polygon."""
    n = len(points)

    def f(x, y):
        d = (x - points[0][0]) ** 2 + (y - points[0][1]) ** 2
        s = 1.0
        j = n - 1
        for i in range(n):
            vix, viy = points[i]
            vjx, vjy = points[j]
            ex, ey = vjx - vix, vjy - viy
            wx, wy = x - vix, y - viy
            t = min(max((wx * ex + wy * ey) / (ex * ex + ey * ey), 0.0), 1.0)
            bx, by = wx - ex * t, wy - ey * t
            d = min(d, bx * bx + by * by)
            c1 = y >= viy
            c2 = y < vjy
            c3 = ex * wy > ey * wx
            if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
                s = -s
            j = i
        return s * math.sqrt(d)
    return f


def d_union(*fs):
    return lambda x, y: min(f(x, y) for f in fs)


def d_subtract(a, b):
    return lambda x, y: max(a(x, y), -b(x, y))


def d_outline(f, width):
    """A band of the given width centred on the edge of f."""
    return lambda x, y: abs(f(x, y)) - width / 2.0


def d_offset(f, dx, dy):
    return lambda x, y: f(x - dx, y - dy)


# ---------------------------------------------------------------- canvas

class Canvas:
    def __init__(self, width, height, samples=4):
        self.w, self.h = width, height
        self.samples = samples
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def coverage(self, sdf, x, y):
        n = self.samples
        step = 1.0 / n
        total = 0.0
        for j in range(n):
            sy = y + (j + 0.5) * step
            for i in range(n):
                d = sdf(x + (i + 0.5) * step, sy)
                # linear ramp one sub-sample wide around the edge
                c = 0.5 - d * n
                total += 1.0 if c >= 1.0 else (0.0 if c <= 0.0 else c)
        return total / (n * n)

    def fill(self, sdf, colour, bbox=None):
        """Paint sdf with colour, a (r, g, b, a) tuple or a function (x, y) -> tuple."""
        x0, y0, x1, y1 = bbox or (0, 0, self.w, self.h)
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.w, int(math.ceil(x1))), min(self.h, int(math.ceil(y1)))
        for y in range(y0, y1):
            for x in range(x0, x1):
                # Cheap reject: a centre farther than a pixel diagonal is empty.
                if sdf(x + 0.5, y + 0.5) > 0.75:
                    continue
                cov = self.coverage(sdf, x, y)
                if cov <= 0.0:
                    continue
                r, g, b, a = colour(x + 0.5, y + 0.5) if callable(colour) else colour
                a *= cov
                p = self.px[y * self.w + x]
                k = 1.0 - a
                p[0] = r * a + p[0] * k
                p[1] = g * a + p[1] * k
                p[2] = b * a + p[2] * k
                p[3] = a + p[3] * k

    def rgba_bytes(self, bgra=False, bottom_up=False):
        """Straight (non-premultiplied) 8-bit rows."""
        rows = []
        order = range(self.h - 1, -1, -1) if bottom_up else range(self.h)
        for y in order:
            row = bytearray()
            for x in range(self.w):
                r, g, b, a = self.px[y * self.w + x]
                if a <= 0.0:
                    row += b"\0\0\0\0"
                    continue
                vals = [min(255, int(round(c / a * 255))) for c in (r, g, b)]
                av = min(255, int(round(a * 255)))
                if av == 0:
                    vals = [0, 0, 0]
                if bgra:
                    vals.reverse()
                row += bytes(vals) + bytes([av])
            rows.append(bytes(row))
        return rows


def linear_gradient(c_top, c_bottom, y_top, y_bottom):
    def f(_x, y):
        t = min(max((y - y_top) / float(y_bottom - y_top), 0.0), 1.0)
        return tuple(a + (b - a) * t for a, b in zip(c_top, c_bottom))
    return f


# ---------------------------------------------------------------- file writers

def png_bytes(canvas):
    def chunk(kind, data):
        body = kind + data
        crc = zlib.crc32(body) & 0xFFFFFFFF
        return struct.pack(">I", len(data)) + body + struct.pack(">I", crc)

    raw = b"".join(b"\0" + row for row in canvas.rgba_bytes())
    ihdr = struct.pack(">IIBBBBB", canvas.w, canvas.h, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bytes(canvas):
    """One 32-bit image as a classic DIB entry: BITMAPINFOHEADER with the height
    doubled, BGRA rows bottom-up, then a 1-bit AND mask (1 = transparent)."""
    w, h = canvas.w, canvas.h
    xor = b"".join(canvas.rgba_bytes(bgra=True, bottom_up=True))
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in range(h - 1, -1, -1):
        row = bytearray(mask_stride)
        for x in range(w):
            if canvas.px[y * w + x][3] * 255 < 0.5:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    dib = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = dib + xor + bytes(mask)
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(image), 6 + 16)
    return header + entry + image


def save(path, data):
    with open(path, "wb") as f:
        f.write(data)


# ---------------------------------------------------------------- images

def check_box(state, variant):
    c = Canvas(32, 32)
    border, field, mark = {
        "": (BORDER, FIELD, LIGHT),
        "_focus": (ACCENT_LIGHT, FIELD, "#ffffff"),
        "_disabled": (BORDER_DISABLED, FIELD_DISABLED, DISABLED),
    }[variant]
    box = d_round_rect(3, 3, 29, 29, 5)
    c.fill(box, rgba(field))
    c.fill(d_outline(d_round_rect(4, 4, 28, 28, 4), 2.4), rgba(border))
    if state == "checked":
        c.fill(d_polyline([(9.0, 16.5), (13.8, 21.5), (23.0, 10.5)], 1.9), rgba(mark))
    elif state == "indeterminate":
        c.fill(d_round_rect(9, 14.2, 23, 17.8, 1.2), rgba(mark))
    return c


def radio(state, variant):
    c = Canvas(32, 32)
    border, field, dot = {
        "": (BORDER, FIELD, LIGHT),
        "_focus": (ACCENT_LIGHT, FIELD, "#ffffff"),
        "_disabled": (BORDER_DISABLED, FIELD_DISABLED, DISABLED),
    }[variant]
    c.fill(d_circle(16, 16, 13.4), rgba(field))
    c.fill(d_outline(d_circle(16, 16, 12.2), 2.4), rgba(border))
    if state == "checked":
        c.fill(d_circle(16, 16, 6.2), rgba(dot))
    return c


def triangle(width, height, direction, colour):
    """A filled arrow head filling a small image, pointing up/down/left/right."""
    c = Canvas(width, height, samples=8)
    if direction in ("up", "down"):
        base_y, tip_y = (0.0, height - 0.4) if direction == "down" else (height, 0.4)
        pts = [(0.0, base_y), (float(width), base_y), (width / 2.0, tip_y)]
    else:
        base_x, tip_x = (0.0, width - 0.4) if direction == "right" else (width, 0.4)
        pts = [(base_x, 0.0), (base_x, float(height)), (tip_x, height / 2.0)]
    c.fill(d_polygon(pts), rgba(colour))
    return c


def tree_line(width, height, kind):
    """Tree connector lines; the images are stretched over a branch cell of about
    20 x 20, so the strokes are as thick as width/20 and height/20."""
    c = Canvas(width, height)
    cx, cy = width / 2.0, height / 2.0
    vw, hw = width / 20.0, height / 20.0
    colour = rgba(GRID)
    if kind in ("vline", "more"):
        c.fill(d_round_rect(cx - vw / 2, -1, cx + vw / 2, height + 1), colour)
    else:  # end: from the top down to the middle
        c.fill(d_round_rect(cx - vw / 2, -1, cx + vw / 2, cy + hw / 2), colour)
    if kind in ("more", "end"):
        c.fill(d_round_rect(cx - vw / 2, cy - hw / 2, width + 1, cy + hw / 2), colour)
    return c


def cross(r, cx=32, cy=32, arm=11.0):
    return d_union(d_segment(cx - arm, cy - arm, cx + arm, cy + arm, r),
                   d_segment(cx - arm, cy + arm, cx + arm, cy - arm, r))


def close_button(variant):
    c = Canvas(64, 64)
    if variant == "hover":
        c.fill(d_round_rect(6, 6, 58, 58, 12), rgba(ACCENT))
        c.fill(cross(4.0), rgba("#ffffff"))
    elif variant == "pressed":
        c.fill(d_round_rect(6, 6, 58, 58, 12), rgba("#4d5866"))
        c.fill(d_outline(d_round_rect(7, 7, 57, 57, 11), 2.0), rgba("#252a31"))
        c.fill(cross(4.0, 33, 33), rgba(SILVER))
    else:
        c.fill(cross(4.0), rgba(SILVER))
    return c


def undock():
    """Two overlapping windows: the one behind drawn as an outline, the front one
    with a title bar."""
    c = Canvas(64, 64)
    silver = rgba(SILVER)
    back = d_round_rect(22, 10, 54, 36, 3)
    front = d_round_rect(10, 26, 42, 54, 3)
    c.fill(d_subtract(d_outline(back, 3.5), d_round_rect(7, 22, 46, 58, 4)), silver)
    c.fill(d_outline(front, 3.5), silver)
    c.fill(d_round_rect(10, 26, 42, 33, 2), silver)
    return c


def grip_dots(width, height, vertical):
    """Two staggered rows of dimpled dots along the long side."""
    c = Canvas(width, height)
    light, dark = rgba("#8a8a8a"), rgba("#1a1a1a", 0.8)
    length = height if vertical else width
    across = width if vertical else height
    lanes = (across / 2.0 - 2.5, across / 2.0 + 2.5)
    pos = 6.0
    k = 0
    while pos <= length - 5.0:
        lane = lanes[k % 2]
        x, y = (lane, pos) if vertical else (pos, lane)
        c.fill(d_circle(x + 0.6, y + 0.6, 1.3), dark)
        c.fill(d_circle(x, y, 1.3), light)
        pos += 4.0
        k += 1
    return c


def separator(width, height, vertical):
    """An engraved line: a dark stroke with a light one beside it."""
    c = Canvas(width, height)
    if vertical:
        mid = width / 2.0
        c.fill(d_round_rect(mid - 1.0, 3, mid, height - 3), rgba("#1c1b1b"))
        c.fill(d_round_rect(mid, 3, mid + 1.0, height - 3), rgba("#5a5959"))
    else:
        mid = height / 2.0
        c.fill(d_round_rect(3, mid - 1.0, width - 3, mid), rgba("#1c1b1b"))
        c.fill(d_round_rect(3, mid, width - 3, mid + 1.0), rgba("#5a5959"))
    return c


def size_grip():
    c = Canvas(16, 16)
    light, dark = rgba("#9a9a9a"), rgba("#141414", 0.8)
    for row in range(4):
        for col in range(4):
            if row + col < 3:
                continue
            x, y = 2.5 + col * 3.5, 2.5 + row * 3.5
            c.fill(d_circle(x + 0.6, y + 0.6, 1.1), dark)
            c.fill(d_circle(x, y, 1.1), light)
    return c


def app_logo():
    """An oscilloscope-like tile showing a CAN bus pair: CAN_H (amber) and CAN_L
    (cyan) spread apart on the dominant bits of a frame and close up again on the
    recessive ones."""
    c = Canvas(256, 256, samples=3)
    tile = d_round_rect(12, 12, 244, 244, 44)
    c.fill(d_offset(tile, 0, 4), rgba("#000000", 0.35))
    c.fill(tile, linear_gradient(rgba("#3f5468"), rgba("#1b242e"), 12, 244))
    c.fill(d_outline(d_round_rect(14, 14, 242, 242, 42), 3.0), rgba("#7d97b0", 0.55))
    # graticule
    grid = rgba("#9fb6cc", 0.16)
    for k in range(1, 6):
        v = 12 + k * 232 / 6.0
        c.fill(d_round_rect(v - 1, 34, v + 1, 222), grid)
        c.fill(d_round_rect(34, v - 1, 222, v + 1), grid)

    bits = [1, 0, 1, 0, 0, 1, 0, 1]
    x0, x1 = 36.0, 220.0
    step = (x1 - x0) / len(bits)
    mid, rest, spread, slope = 128.0, 9.0, 52.0, 5.0

    def trace(sign):
        recessive, dominant = mid + sign * rest, mid + sign * spread
        pts = [(x0, recessive)]
        level = recessive
        for i, bit in enumerate(bits):
            target = dominant if bit == 0 else recessive
            x = x0 + i * step
            if target != level:
                pts.append((x - slope, level))
                pts.append((x + slope, target))
                level = target
        pts.append((x1, level))
        return pts

    for sign, colour in ((-1, "#ffb347"), (+1, "#4fd1e0")):
        line = d_polyline(trace(sign), 6.5)
        c.fill(d_polyline(trace(sign), 11.0), rgba(colour, 0.18))  # glow
        c.fill(line, rgba(colour))
    return c


def images():
    out = {}
    for state in ("checked", "unchecked", "indeterminate"):
        for variant in ("", "_disabled", "_focus"):
            out["checkbox_%s%s" % (state, variant)] = lambda s=state, v=variant: check_box(s, v)
    for state in ("checked", "unchecked"):
        for variant in ("", "_disabled", "_focus"):
            out["radio_%s%s" % (state, variant)] = lambda s=state, v=variant: radio(s, v)
    for direction in ("up", "down", "left", "right"):
        w, h = (9, 6) if direction in ("up", "down") else (6, 9)
        for suffix, colour in (("", SILVER), ("_disabled", DISABLED)):
            out["%s_arrow%s" % (direction, suffix)] = \
                lambda d=direction, w=w, h=h, c=colour: triangle(w, h, d, c)
    out["branch_open"] = lambda: triangle(9, 6, "down", "#a8a8a8")
    out["branch_open-on"] = lambda: triangle(9, 6, "down", "#ffffff")
    out["branch_closed"] = lambda: triangle(6, 9, "right", "#a8a8a8")
    out["branch_closed-on"] = lambda: triangle(6, 9, "right", "#ffffff")
    out["stylesheet-branch-end"] = lambda: tree_line(81, 58, "end")
    out["stylesheet-vline"] = lambda: tree_line(81, 58, "vline")
    out["stylesheet-branch-more"] = lambda: tree_line(24, 17, "more")
    out["close"] = lambda: close_button("")
    out["close-hover"] = lambda: close_button("hover")
    out["close-pressed"] = lambda: close_button("pressed")
    out["undock"] = undock
    out["transparent"] = lambda: Canvas(64, 64)
    out["Hmovetoolbar"] = lambda: grip_dots(16, 64, True)
    out["Vmovetoolbar"] = lambda: grip_dots(54, 10, False)
    out["Hsepartoolbar"] = lambda: separator(7, 63, True)
    out["Vsepartoolbar"] = lambda: separator(63, 7, False)
    out["sizegrip"] = size_grip
    return out


def main():
    os.makedirs(ICON_DIR, exist_ok=True)
    table = images()
    for name in sorted(table):
        save(os.path.join(ICON_DIR, name + ".png"), png_bytes(table[name]()))
    save(os.path.join(HERE, "lg2.ico"), ico_bytes(app_logo()))
    print("wrote %d images and lg2.ico" % len(table))


if __name__ == "__main__":
    main()
