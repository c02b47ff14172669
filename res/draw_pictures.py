#!/usr/bin/env python3
"""Draws the updater's pictures as XPM text files (no third-party modules).

  icon-32.xpm, icon-16.xpm   the application icon (icon 128): a globe with a
                             download arrow; transparent outside the motif.
  anim-1.xpm .. anim-6.xpm   the wait animation (animation 130): the globe
                             turning, 5 degrees a frame, 6 frames that loop.

Every picture uses only the standard 16-colour VGA palette (the Windows
system colours below), so the icon and the AVI built from these files keep
16 colours. The icons mark transparent pixels with the XPM colour "None";
the animation frames are opaque on a white ground.

Run from anywhere: python3 res/draw_pictures.py  (writes next to itself).
The output is deterministic; the XPM files are committed.
"""
import math
import os

# The standard 16-colour VGA palette in its Windows order.
VGA = [
    ("000000", "black"), ("800000", "maroon"), ("008000", "green"), ("808000", "olive"),
    ("000080", "navy"), ("800080", "purple"), ("008080", "teal"), ("C0C0C0", "silver"),
    ("808080", "gray"), ("FF0000", "red"), ("00FF00", "lime"), ("FFFF00", "yellow"),
    ("0000FF", "blue"), ("FF00FF", "fuchsia"), ("00FFFF", "aqua"), ("FFFFFF", "white"),
]
HEX = {name: hexv for hexv, name in VGA}
# One XPM character per palette entry; '.' is transparency.
CHAR = dict(zip([n for _, n in VGA], "0123456789abcdef"))
NONE = "none"

# Continents as soft caps on the sphere: (longitude deg, latitude deg, radius deg).
LAND = [
    (-100, 45, 28), (-80, 20, 14), (-60, -15, 22), (-68, -40, 12),
    (15, 50, 20), (20, 5, 24), (25, -22, 16), (45, 25, 14),
    (90, 50, 34), (105, 20, 18), (135, -25, 16), (-40, 72, 12),
]


def _unit(lon, lat):
    lon, lat = math.radians(lon), math.radians(lat)
    return (math.cos(lat) * math.sin(lon), math.sin(lat), math.cos(lat) * math.cos(lon))


_LAND_VECS = [(_unit(lo, la), math.cos(math.radians(r))) for lo, la, r in LAND]


def is_land(v):
    return any(v[0] * c[0] + v[1] * c[1] + v[2] * c[2] >= cosr for c, cosr in _LAND_VECS)


def _grid_cell(x, y, rot):
    """The 30-degree longitude/latitude cell of view point x, y (unit disc)."""
    z = math.sqrt(max(0.0, 1.0 - x * x - y * y))
    lon = math.degrees(math.atan2(x, z)) + rot
    lat = math.degrees(math.asin(max(-1.0, min(1.0, y))))
    return (math.floor(lon / 30.0), math.floor(lat / 30.0))


def _on_grid(px, py, cx, cy, r, rot):
    """True when a meridian or parallel (every 30 degrees) crosses pixel px, py:
    the corners of its square lie in different cells."""
    cells = set()
    for ox in (0.0, 0.999):
        for oy in (0.0, 0.999):
            x = (px + ox - cx) / r
            y = (cy - (py + oy)) / r
            if x * x + y * y <= 1.0:
                cells.add(_grid_cell(x, y, rot))
    return len(cells) > 1


def globe(size, cx, cy, r, turn_deg, ground, grid=False):
    """Renders an orthographic globe turned by turn_deg into a size x size grid.

    With grid=True the globe shows meridians and parallels every 30 degrees
    instead of land, so a turn of 30 degrees gives the same picture again."""
    light = (-0.55, 0.55, 0.63)
    norm = math.sqrt(sum(c * c for c in light))
    light = tuple(c / norm for c in light)
    rot = math.radians(turn_deg)
    img = [[ground] * size for _ in range(size)]
    for py in range(size):
        for px in range(size):
            x = (px + 0.5 - cx) / r
            y = (cy - (py + 0.5)) / r
            d2 = x * x + y * y
            if d2 > 1.0:
                continue
            z = math.sqrt(1.0 - d2)
            # Turn the view around the polar (y) axis.
            wx = x * math.cos(rot) + z * math.sin(rot)
            wz = -x * math.sin(rot) + z * math.cos(rot)
            lit = x * light[0] + y * light[1] + z * light[2]
            edge = d2 > (1.0 - 1.6 / r) ** 2
            if grid:
                if _on_grid(px, py, cx, cy, r, turn_deg):
                    colour = "white" if lit > 0.9 else ("aqua" if lit > 0.2 else "teal")
                else:
                    colour = "blue" if lit > 0.05 else "navy"
            elif is_land((wx, y, wz)):
                colour = "lime" if lit > 0.45 else ("green" if lit > -0.1 else "olive")
            else:
                colour = "aqua" if lit > 0.93 else ("blue" if lit > 0.05 else "navy")
            if edge:
                colour = "navy"
            img[py][px] = colour
    return img


def arrow(img, x0, y0, w, h):
    """A downward arrow (yellow, black outline) with its box at x0, y0."""
    shaft = max(2, w // 3)
    head = h * 5 // 11
    sx0 = x0 + (w - shaft) // 2
    fill = set()
    for y in range(y0, y0 + h - head):
        for x in range(sx0, sx0 + shaft):
            fill.add((x, y))
    top = y0 + h - head
    for i in range(head):
        half = (w * (head - i)) // (2 * head)
        mid2 = 2 * x0 + w - 1
        for x in range(x0, x0 + w):
            if abs(2 * x - mid2) <= 2 * half:
                fill.add((x, top + i))
    size = len(img)
    outline = set()
    for x, y in fill:
        for dx in (-1, 0, 1):
            for dy in (-1, 0, 1):
                p = (x + dx, y + dy)
                if p not in fill:
                    outline.add(p)
    for x, y in outline:
        if 0 <= x < size and 0 <= y < size:
            img[y][x] = "black"
    for x, y in fill:
        if 0 <= x < size and 0 <= y < size:
            img[y][x] = "yellow"


def write_xpm(path, name, img):
    used = sorted({c for row in img for c in row}, key=lambda c: (c != NONE, c))
    lines = ["/* XPM */", "static const char *%s[] = {" % name,
             '"%d %d %d 1",' % (len(img[0]), len(img), len(used))]
    for c in used:
        if c == NONE:
            lines.append('". c None",')
        else:
            lines.append('"%s c #%s",' % (CHAR[c], HEX[c]))
    rows = ['"%s"' % "".join("." if c == NONE else CHAR[c] for c in row) for row in img]
    lines.append(",\n".join(rows))
    lines.append("};")
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    icon32 = globe(32, 14.0, 14.0, 13.0, 0, NONE)
    arrow(icon32, 18, 15, 12, 16)
    write_xpm(os.path.join(here, "icon-32.xpm"), "icon_32", icon32)
    icon16 = globe(16, 7.0, 7.0, 6.6, 0, NONE)
    arrow(icon16, 9, 7, 7, 9)
    write_xpm(os.path.join(here, "icon-16.xpm"), "icon_16", icon16)
    for i in range(6):
        frame = globe(32, 16.0, 16.0, 14.0, 5.0 * i, "white", grid=True)
        write_xpm(os.path.join(here, "anim-%d.xpm" % (i + 1)), "anim_%d" % (i + 1), frame)


if __name__ == "__main__":
    main()
