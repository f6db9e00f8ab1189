#!/usr/bin/env python3
"""Draws the management page's twelve icons and compiles them into the service.

Every icon is drawn from a few shapes (discs, rings, polygons, strokes) on a
4x4 sub-pixel grid, so the edges are smoothed the same way everywhere; colours
come from one small palette so the set looks of a piece. Only the standard
library is used (zlib and struct write the PNG files).

Run from anywhere:  python3 web/icons/make_icons.py
It rewrites web/icons/*.png (to look at) and web/orva_icons_data.cpp (the
byte arrays the service serves).
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
WEB = os.path.dirname(HERE)
SUB = 4  # sub-pixel samples per axis

GREEN = (46, 160, 67)
RED = (207, 46, 46)
ORANGE = (230, 140, 20)
BLUE = (40, 110, 200)
GREY = (110, 110, 110)
DARK = (60, 60, 60)
WHITE = (255, 255, 255)
YELLOW = (245, 200, 60)


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]  # premultiplied

    def fill(self, inside, colour, alpha=1.0):
        """Paints colour over every pixel in proportion to how much of it `inside` covers."""
        r, g, b = (c / 255.0 for c in colour)
        for y in range(self.size):
            for x in range(self.size):
                hits = sum(1 for sy in range(SUB) for sx in range(SUB)
                           if inside(x + (sx + 0.5) / SUB, y + (sy + 0.5) / SUB))
                a = alpha * hits / (SUB * SUB)
                if a == 0:
                    continue
                pr, pg, pb, pa = self.px[y][x]
                k = 1 - a
                self.px[y][x] = (r * a + pr * k, g * a + pg * k, b * a + pb * k, a + pa * k)

    def rgba_rows(self):
        rows = []
        for line in self.px:
            row = bytearray()
            for r, g, b, a in line:
                if a == 0:
                    row += bytes(4)
                    continue
                row += bytes(min(255, round(c / a * 255)) for c in (r, g, b))
                row.append(min(255, round(a * 255)))
            rows.append(bytes(row))
        return rows


# Shapes: each returns a test of one sample point.

def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in < (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                hit = not hit
        return hit
    return inside


def stroke(points, width):
    """A polyline of the given width with round ends and joints."""
    half = width / 2.0

    def near(x, y):
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            dx, dy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
            if (x - ax - t * dx) ** 2 + (y - ay - t * dy) ** 2 <= half * half:
                return True
        return False
    return near


def arc(cx, cy, r, start_deg, end_deg, steps=12):
    return [(cx + r * math.cos(math.radians(a)), cy + r * math.sin(math.radians(a)))
            for a in (start_deg + (end_deg - start_deg) * i / steps for i in range(steps + 1))]


def gear(cx, cy, r_root, r_tip, teeth, hole):
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        if d <= hole:
            return False
        if d <= r_root:
            return True
        if d > r_tip:
            return False
        phase = (math.atan2(y - cy, x - cx) / (2 * math.pi) * teeth) % 1.0
        return 0.25 <= phase <= 0.75
    return inside


# The icons. A state badge is a disc with a darker rim; a button is a bare glyph.

def badge(size, colour):
    c = Canvas(size)
    mid = size / 2.0
    c.fill(disc(mid, mid, mid - 0.5), tuple(int(v * 0.7) for v in colour))
    c.fill(disc(mid, mid, mid - 1.5), colour)
    return c


def icon_start():  # state: running
    c = badge(16, GREEN)
    c.fill(polygon([(6, 4.5), (12, 8), (6, 11.5)]), WHITE)
    return c


def icon_stop():  # state: stopped
    c = badge(16, GREY)
    c.fill(rect(5, 5, 11, 11), WHITE)
    return c


def icon_term():  # state: terminating (an hourglass)
    c = badge(20, ORANGE)
    c.fill(polygon([(6.5, 5), (13.5, 5), (10, 10), (13.5, 15), (6.5, 15), (10, 10)]), WHITE)
    c.fill(polygon([(8.5, 13.5), (11.5, 13.5), (10, 11.5)]), ORANGE)
    return c


def icon_start_ch():
    c = Canvas(16)
    c.fill(polygon([(3, 1.5), (14.5, 8), (3, 14.5)]), tuple(int(v * 0.7) for v in GREEN))
    c.fill(polygon([(4.2, 3.6), (12.3, 8), (4.2, 12.4)]), GREEN)
    return c


def icon_stop_ch():
    c = Canvas(16)
    c.fill(rect(2, 2, 14, 14), tuple(int(v * 0.7) for v in RED))
    c.fill(rect(3.2, 3.2, 12.8, 12.8), RED)
    return c


def icon_settings():
    c = Canvas(16)
    c.fill(gear(8, 8, 5.2, 7.4, 8, 2.3), GREY)
    c.fill(ring(8, 8, 5.2, 4.2), DARK, 0.35)
    return c


def icon_help():
    c = badge(16, BLUE)
    c.fill(stroke(arc(8, 6.2, 2.4, 180, 390) + [(8, 9.4), (8, 10)], 1.8), WHITE)
    c.fill(disc(8, 12.4, 1.1), WHITE)
    return c


def icon_create():
    c = Canvas(16)
    c.fill(stroke([(8, 2), (8, 14)], 3.6), tuple(int(v * 0.7) for v in GREEN))
    c.fill(stroke([(2, 8), (14, 8)], 3.6), tuple(int(v * 0.7) for v in GREEN))
    c.fill(stroke([(8, 2.8), (8, 13.2)], 2.0), GREEN)
    c.fill(stroke([(2.8, 8), (13.2, 8)], 2.0), GREEN)
    return c


def icon_remove():
    c = Canvas(16)
    c.fill(stroke([(2, 8), (14, 8)], 3.6), tuple(int(v * 0.7) for v in RED))
    c.fill(stroke([(2.8, 8), (13.2, 8)], 2.0), RED)
    return c


def icon_edit():  # a pencil
    c = Canvas(16)
    c.fill(stroke([(4.5, 11.5), (12, 4)], 4.2), DARK)
    c.fill(stroke([(5, 11), (11.6, 4.4)], 2.6), YELLOW)
    c.fill(stroke([(11.6, 4.4), (12.6, 3.4)], 2.6), RED)
    c.fill(polygon([(2, 14), (3, 10.2), (5.8, 13)]), DARK)
    return c


def icon_apply():
    c = Canvas(16)
    c.fill(stroke([(2.5, 8.5), (6.2, 12.2), (13.5, 3.8)], 3.8), tuple(int(v * 0.7) for v in GREEN))
    c.fill(stroke([(2.9, 8.6), (6.2, 11.8), (13.1, 4.1)], 2.2), GREEN)
    return c


def icon_cancel():
    c = Canvas(16)
    for d in ([(3, 3), (13, 13)], [(13, 3), (3, 13)]):
        c.fill(stroke(d, 3.8), tuple(int(v * 0.7) for v in RED))
    for d in ([(3.4, 3.4), (12.6, 12.6)], [(12.6, 3.4), (3.4, 12.6)]):
        c.fill(stroke(d, 2.2), RED)
    return c


# Served in this order; the page names them by file name.
ICONS = [
    ("start.png", "g_png_start", icon_start),
    ("stop.png", "g_png_stop", icon_stop),
    ("term.png", "g_png_term", icon_term),
    ("start_ch.png", "g_png_start_ch", icon_start_ch),
    ("stop_ch.png", "g_png_stop_ch", icon_stop_ch),
    ("settings.png", "g_png_settings", icon_settings),
    ("help.png", "g_png_help", icon_help),
    ("create.png", "g_png_create", icon_create),
    ("remove.png", "g_png_remove", icon_remove),
    ("edit.png", "g_png_edit", icon_edit),
    ("apply.png", "g_png_apply", icon_apply),
    ("cancel.png", "g_png_cancel", icon_cancel),
]


def png(canvas):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    raw = b"".join(b"\x00" + row for row in canvas.rgba_rows())
    header = struct.pack(">IIBBBBB", canvas.size, canvas.size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def c_array(name, data):
    lines = ["const unsigned char %s[%d] = {" % (name, len(data))]
    for i in range(0, len(data), 16):
        lines.append("    " + ", ".join("0x%02x" % b for b in data[i:i + 16]) + ",")
    lines.append("};")
    return "\n".join(lines)


def main():
    parts = [
        "// orva_icons_data.cpp: the icons of the management page as PNG bytes.",
        "// Generated by web/icons/make_icons.py; edit the drawings there, not here.",
        '#include "orva_icons.h"',
        "",
        "namespace {",
        "",
    ]
    for file_name, array, draw in ICONS:
        data = png(draw())
        with open(os.path.join(HERE, file_name), "wb") as f:
            f.write(data)
        parts.append(c_array(array, data))
        parts.append("")
    parts.append("}  // namespace")
    parts.append("")
    parts.append("const ORVA_CGI_FILE g_cgiFiles[ORVA_CGI_FILE_COUNT] = {")
    for file_name, array, _ in ICONS:
        parts.append('    {"%s", static_cast<int32_t>(sizeof %s), %s},' % (file_name, array, array))
    parts.append("};")
    with open(os.path.join(WEB, "orva_icons_data.cpp"), "w") as f:
        f.write("\n".join(parts) + "\n")


if __name__ == "__main__":
    main()
