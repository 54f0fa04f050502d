#!/usr/bin/env python3
"""Draw the Korvex Firmware Tool icons and write them as .ico files.

Every icon is drawn on a 32x32 design grid with a few vector primitives and
rasterised twice, at 16x16 and 32x32, using supersampling for anti-aliased
edges.  Each .ico holds both sizes as 32-bit BGRA DIBs (BITMAPINFOHEADER,
height = 2 x height, followed by the 1-bit AND mask), which is what
LoadImage / CreateIconFromResourceEx expect on every Windows version.

Standard library only.

    python3 scripts/draw_icons.py [OUTDIR] [--preview FILE.png] [--preview-scale N]
"""
import argparse
import math
import os
import struct
import sys
import zlib

GRID = 32.0   # design units across an icon
SIZES = (16, 32)

# Flat palette shared by all icons.
INK = (0x37, 0x47, 0x4F)       # outlines and dark parts
SLATE = (0x78, 0x90, 0x9C)
GREY = (0xB0, 0xBE, 0xC5)
LIGHT = (0xE3, 0xE8, 0xEB)
PAPER = (0xFF, 0xFF, 0xFF)
TEXT = (0x90, 0xA4, 0xAE)      # text lines on paper
BLUE = (0x1E, 0x88, 0xE5)
DBLUE = (0x15, 0x65, 0xC0)
SKY = (0x29, 0xA9, 0xE8)
PALE = (0xBB, 0xDE, 0xFB)
GREEN = (0x43, 0xA0, 0x47)
LCD = (0xC5, 0xE1, 0xA5)
ORANGE = (0xFB, 0x8C, 0x00)
DORANGE = (0xE6, 0x51, 0x00)
RED = (0xE5, 0x39, 0x35)
BROWN = (0xA1, 0x88, 0x7F)
WHITE = (0xFF, 0xFF, 0xFF)


# ---------------------------------------------------------------- shapes ---
# A shape is an inside-test in design units plus a bounding box.

class Shape:
    def __init__(self, test, bbox):
        self.test = test
        self.bbox = bbox

    def __or__(self, other):
        a, b = self.bbox, other.bbox
        return Shape(lambda x, y: self.test(x, y) or other.test(x, y),
                     (min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3])))

    def __and__(self, other):
        a, b = self.bbox, other.bbox
        return Shape(lambda x, y: self.test(x, y) and other.test(x, y),
                     (max(a[0], b[0]), max(a[1], b[1]), min(a[2], b[2]), min(a[3], b[3])))

    def __sub__(self, other):
        return Shape(lambda x, y: self.test(x, y) and not other.test(x, y), self.bbox)


def rect(x0, y0, x1, y1):
    return Shape(lambda x, y: x0 <= x < x1 and y0 <= y < y1, (x0, y0, x1, y1))


def rrect(x0, y0, x1, y1, r):
    def test(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        dx = max(x0 + r - x, 0.0, x - (x1 - r))
        dy = max(y0 + r - y, 0.0, y - (y1 - r))
        return dx * dx + dy * dy <= r * r
    return Shape(test, (x0, y0, x1, y1))


def ellipse(cx, cy, rx, ry=None):
    ry = rx if ry is None else ry
    return Shape(lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0,
                 (cx - rx, cy - ry, cx + rx, cy + ry))


def circle(cx, cy, r):
    return ellipse(cx, cy, r)


def _seg_dist2(x, y, x0, y0, x1, y1):
    dx, dy = x1 - x0, y1 - y0
    t = ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy or 1.0)
    t = min(1.0, max(0.0, t))
    ex, ey = x0 + t * dx - x, y0 + t * dy - y
    return ex * ex + ey * ey


def line(x0, y0, x1, y1, w):
    """A stroke of width w with round caps."""
    h = w / 2.0
    return Shape(lambda x, y: _seg_dist2(x, y, x0, y0, x1, y1) <= h * h,
                 (min(x0, x1) - h, min(y0, y1) - h, max(x0, x1) + h, max(y0, y1) + h))


def poly(pts, grow=0.0):
    """Filled polygon (even-odd); grow > 0 widens it by that distance."""
    n = len(pts)
    edges = [(pts[i], pts[(i + 1) % n]) for i in range(n)]

    def test(x, y):
        inside = False
        for (ax, ay), (bx, by) in edges:
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                inside = not inside
        if inside or grow <= 0:
            return inside
        return any(_seg_dist2(x, y, ax, ay, bx, by) <= grow * grow
                   for (ax, ay), (bx, by) in edges)
    xs, ys = [p[0] for p in pts], [p[1] for p in pts]
    return Shape(test, (min(xs) - grow, min(ys) - grow, max(xs) + grow, max(ys) + grow))


def arc(cx, cy, r, w, a0, a1):
    """Ring segment from angle a0 to a1 (degrees, counter-clockwise, y up)."""
    span = (a1 - a0) % 360.0
    ring = ellipse(cx, cy, r + w / 2.0) - ellipse(cx, cy, r - w / 2.0)
    return ring & Shape(lambda x, y: (math.degrees(math.atan2(cy - y, x - cx)) - a0) % 360.0
                        <= span, ring.bbox)


def polar(cx, cy, r, deg):
    a = math.radians(deg)
    return (cx + r * math.cos(a), cy - r * math.sin(a))


def rotated(pts, cx, cy, deg):
    a = math.radians(deg)
    c, s = math.cos(a), math.sin(a)
    return [(cx + (x - cx) * c + (y - cy) * s, cy - (x - cx) * s + (y - cy) * c) for x, y in pts]


# ---------------------------------------------------------------- canvas ---

class Canvas:
    def __init__(self, n):
        self.n = n
        self.k = n / GRID                # pixels per design unit
        self.px = 1.0 / self.k            # one pixel in design units
        self.small = n <= 16
        self.ss = 6 if self.small else 4  # supersamples per axis
        self.rgba = [[0.0, 0.0, 0.0, 0.0] for _ in range(n * n)]

    def fill(self, shape, color, alpha=1.0):
        n, k, ss = self.n, self.k, self.ss
        x0, y0, x1, y1 = shape.bbox
        offs = [(i + 0.5) / ss for i in range(ss)]
        for py in range(max(0, int(y0 * k)), min(n, int(math.ceil(y1 * k)))):
            for px in range(max(0, int(x0 * k)), min(n, int(math.ceil(x1 * k)))):
                hits = sum(1 for oy in offs for ox in offs
                           if shape.test((px + ox) / k, (py + oy) / k))
                if hits:
                    self._over(px, py, color, alpha * hits / (ss * ss))

    def _over(self, x, y, color, a):
        d = self.rgba[y * self.n + x]
        out = a + d[3] * (1.0 - a)
        for i in range(3):
            d[i] = (color[i] / 255.0 * a + d[i] * d[3] * (1.0 - a)) / out
        d[3] = out

    def snap(self, v):
        """Round a design coordinate to the nearest pixel edge."""
        return round(v / self.px) * self.px

    def outlined(self, outer, inner, edge, face):
        self.fill(outer, edge)
        self.fill(inner, face)

    def pixel8(self, x, y):
        r, g, b, a = self.rgba[y * self.n + x]
        a8 = int(round(a * 255))
        if a8 == 0:
            return (0, 0, 0, 0)
        return tuple(int(round(v * 255)) for v in (r, g, b)) + (a8,)


# ------------------------------------------------------------ file output ---

def dib(c):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA rows, AND mask."""
    n = c.n
    stride = (n + 31) // 32 * 4
    xor, mask = bytearray(), bytearray()
    for y in reversed(range(n)):
        bits = bytearray(stride)
        for x in range(n):
            r, g, b, a = c.pixel8(x, y)
            xor += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def ico_bytes(canvases):
    images = [dib(c) for c in canvases]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for c, img in zip(canvases, images):
        out += struct.pack('<BBBBHHII', c.n % 256, c.n % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    return out + b''.join(images)


def png_bytes(w, h, rows):
    """rows: h byte strings of w RGB triplets."""
    def chunk(tag, data):
        return (struct.pack('>I', len(data)) + tag + data
                + struct.pack('>I', zlib.crc32(tag + data) & 0xFFFFFFFF))
    raw = b''.join(b'\0' + bytes(r) for r in rows)
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


# ------------------------------------------------------------ drawing kit ---

def sheet(c, x0, y0, x1, y1, fold=0.0, face=PAPER, lines=True):
    """A sheet of paper with an outline, optional dog-ear and text lines."""
    lw = c.px
    c.fill(poly([(x0, y0), (x1 - fold, y0), (x1, y0 + fold), (x1, y1), (x0, y1)]), INK)
    f = fold - lw * 0.4 if fold else 0.0
    c.fill(poly([(x0 + lw, y0 + lw), (x1 - lw - f, y0 + lw), (x1 - lw, y0 + lw + f),
                 (x1 - lw, y1 - lw), (x0 + lw, y1 - lw)]), face)
    if fold:
        c.fill(poly([(x1 - fold, y0), (x1 - fold, y0 + fold), (x1, y0 + fold)]), INK)
    if lines:
        step = 4 if c.small else 3
        y = c.snap(y0 + max(fold, 2) + 2.5)
        while y + lw <= y1 - 3:
            c.fill(rect(c.snap(x0 + 3.5), y, c.snap(x1 - 3.5), y + lw), TEXT)
            y += step


def arrow(x0, y, x1, shaft, head, headlen, grow=0.0):
    """Right-pointing arrow polygon from x0 to the tip at x1."""
    s, h, b = shaft / 2.0, head / 2.0, x1 - headlen
    return poly([(x0, y - s), (b, y - s), (b, y - h), (x1, y), (b, y + h),
                 (b, y + s), (x0, y + s)], grow)


# ------------------------------------------------------------------ icons ---

def draw_app(c):
    lw = c.px
    sheet(c, 9, 2, 23, 13, lines=False)                        # paper feeding in
    c.outlined(rrect(2, 10, 30, 25, 3), rrect(2 + lw, 10 + lw, 30 - lw, 25 - lw, 3 - lw),
               INK, SLATE)
    c.fill(rect(2 + lw, 10 + lw, 30 - lw, 14), GREY)           # lighter top face
    c.fill(rect(6, 19, 26, 21), INK)                           # output slot
    c.outlined(rect(8, 20, 22, 30), rect(8 + lw, 20, 22 - lw, 30 - lw), INK, PAPER)
    if not c.small:
        c.fill(rect(11, 23, 19, 24), TEXT)
        c.fill(rect(11, 26, 17, 27), TEXT)
    # green firmware badge with an up arrow
    c.fill(circle(25, 24, 7), WHITE)
    c.fill(circle(25, 24, 6), GREEN)
    c.fill(poly([(25, 19), (29, 24), (26.5, 24), (26.5, 28), (23.5, 28), (23.5, 24), (21, 24)]),
           WHITE)


def draw_open_report(c):
    sheet(c, 4, 2, 20, 30, fold=6)
    c.fill(line(23.5, 23.5, 28.5, 28.5, 5), INK)               # handle
    c.fill(circle(18, 18, 8), INK)
    c.fill(circle(18, 18, 8 - 2.2), PALE, 0.9)
    c.fill(circle(16, 16, 2), WHITE, 0.8)                      # glint


def draw_copy(c):
    sheet(c, 2, 2, 18, 22, face=LIGHT)
    sheet(c, 12, 10, 28, 30, fold=6)


def draw_save(c):
    lw = c.px
    c.fill(poly([(2, 2), (26, 2), (30, 6), (30, 30), (2, 30)]), DBLUE)
    c.fill(poly([(2 + lw, 2 + lw), (26 - lw * 0.4, 2 + lw), (30 - lw, 6 + lw * 0.4),
                 (30 - lw, 30 - lw), (2 + lw, 30 - lw)]), BLUE)
    c.fill(rect(8, 2, 22, 12), LIGHT)                          # metal shutter
    c.fill(rect(16, 4, 20, 10), DBLUE)
    c.fill(rect(6, 16, 26, 30 - lw), PAPER)                    # label
    if not c.small:
        for y in (19, 22, 25):
            c.fill(rect(9, y, 23, y + 1), TEXT)


def draw_exit(c):
    doorway = rect(2, 1, 22, 31)
    c.fill(doorway, INK)
    c.fill(rect(4, 3, 20, 31), (0x26, 0x32, 0x38))
    c.fill(poly([(2, 1), (12, 5), (12, 32), (2, 31)]), BROWN)  # door swung open
    c.fill(circle(9.5, 18, 1.3), INK)
    c.fill(arrow(13, 17, 31, 6, 14, 8, grow=c.px) & doorway, WHITE)
    c.fill(arrow(13, 17, 31, 6, 14, 8), RED)


def draw_languages(c):
    cx = cy = 15.0
    r = 14.0
    c.fill(circle(cx, cy, r), DBLUE)
    c.fill(circle(cx, cy, r - c.px), SKY)
    inner = circle(cx, cy, r - c.px)
    w = 2.0
    grid = (ellipse(cx, cy, 6.5, r) - ellipse(cx, cy, 6.5 - w, r - w)) \
        | rect(cx - w / 2, 0, cx + w / 2, 32) | rect(0, cy - w / 2, 32, cy + w / 2) \
        | rect(0, 6, 32, 6 + w) | rect(0, 22, 32, 22 + w)
    c.fill(grid & inner, WHITE, 0.95)


def draw_panel_language(c):
    lw = c.px
    c.outlined(rrect(1, 4, 31, 29, 3), rrect(1 + lw, 4 + lw, 31 - lw, 29 - lw, 3 - lw),
               INK, SLATE)
    c.outlined(rect(4, 7, 28, 22), rect(4 + lw, 7 + lw, 28 - lw, 22 - lw), INK, LCD)
    t = 3.2 if c.small else 2.6                                # stroke of the letter
    letter_a = poly([(14.5, 9), (17.5, 9), (22, 20), (22 - t, 20), (16, 12), (10 + t, 20),
                     (10, 20)])
    c.fill(letter_a | rect(13, 15 if c.small else 15.5, 19, 17), INK)
    c.fill(rect(6, 24, 10, 26), GREEN)                         # buttons
    c.fill(rect(14, 24, 18, 26), GREY)
    c.fill(rect(22, 24, 26, 26), GREY)


def wrench(grow):
    cx, cy = 21.5, 10.5
    head = circle(cx, cy, 8 + grow)
    handle = line(6, 26, cx, cy, 6 + 2 * grow)
    jaw = rotated([(cx - 1, cy - 2.8 + grow), (cx + 12, cy - 2.8 + grow),
                   (cx + 12, cy + 2.8 - grow), (cx - 1, cy + 2.8 - grow)], cx, cy, 45)
    return (head | handle) - poly(jaw)


def draw_maintenance(c):
    c.fill(wrench(c.px), INK)
    c.fill(wrench(0), SLATE)
    c.fill(line(8, 24, 13, 19, 2), GREY)                       # highlight on the handle


def draw_about(c):
    c.fill(circle(16, 16, 15), DBLUE)
    c.fill(circle(16, 16, 15 - c.px), BLUE)
    c.fill(circle(16, 9, 2.4), WHITE)
    c.fill(rrect(14, 13, 18, 26, 0.8), WHITE)


def draw_restore_defaults(c):
    # three quarters of a circle running counter-clockwise from the left
    # side round to the top, where the head points back to the left
    cx, cy, r, w = 16.0, 17.0, 10.0, 5.0
    start, end = 180.0, 92.0
    c.fill(arc(cx, cy, r, w, start, end), GREEN)
    a = math.radians(end)
    tx, ty = -math.sin(a), -math.cos(a)                        # tangent, y down
    m = polar(cx, cy, r, end)
    c.fill(poly([polar(cx, cy, r + 7, end), (m[0] + tx * 9, m[1] + ty * 9),
                 polar(cx, cy, r - 7, end)]), GREEN)


def draw_second_command(c):
    c.fill(rrect(2, 2, 30, 30, 6), DORANGE)
    c.fill(rrect(2 + c.px, 2 + c.px, 30 - c.px, 30 - c.px, 6 - c.px), ORANGE)
    bolt = [(15, 2), (24, 2), (20, 11), (26, 11), (14, 30), (12, 30), (15, 18), (8, 18)]
    if not c.small:
        c.fill(poly(bolt, c.px), DORANGE)
    c.fill(poly(bolt), WHITE)


ICONS = [
    (201, 'app', draw_app),
    (202, 'open_report', draw_open_report),
    (203, 'copy', draw_copy),
    (204, 'save', draw_save),
    (205, 'exit', draw_exit),
    (206, 'languages', draw_languages),
    (207, 'panel_language', draw_panel_language),
    (208, 'maintenance', draw_maintenance),
    (209, 'about', draw_about),
    (210, 'restore_defaults', draw_restore_defaults),
    (211, 'second_command', draw_second_command),
]


def render(draw):
    canvases = []
    for n in SIZES:
        c = Canvas(n)
        draw(c)
        canvases.append(c)
    return canvases


# ---------------------------------------------------------------- preview ---

def write_preview(path, rendered, scale=1):
    """All icons, one per row: 32 px, 16 px and 16 px at 4x, on grey and white."""
    pad, cell = 8, 64
    panel = pad + 32 + pad + 16 + pad + 4 * 16 + pad
    w, h = 2 * panel, pad + len(rendered) * (cell + pad)
    img = [[(0xD4, 0xD4, 0xD4) if x < panel else (0xFF, 0xFF, 0xFF) for x in range(w)]
           for _ in range(h)]

    def blit(c, ox, oy, zoom):
        for y in range(c.n * zoom):
            for x in range(c.n * zoom):
                r, g, b, a = c.pixel8(x // zoom, y // zoom)
                br, bg, bb = img[oy + y][ox + x]
                img[oy + y][ox + x] = tuple(int(round(s * a / 255 + d * (255 - a) / 255))
                                            for s, d in ((r, br), (g, bg), (b, bb)))

    for row, (small, large) in enumerate(rendered):
        oy = pad + row * (cell + pad)
        for ox in (0, panel):
            blit(large, ox + pad, oy + 16, 1)
            blit(small, ox + 2 * pad + 32, oy + 24, 1)
            blit(small, ox + 3 * pad + 48, oy, 4)
    rows = []
    for y in range(h * scale):
        src = img[y // scale]
        rows.append(bytes(v for x in range(w * scale) for v in src[x // scale]))
    with open(path, 'wb') as f:
        f.write(png_bytes(w * scale, h * scale, rows))


def main(argv=None):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('outdir', nargs='?', default=os.path.join(root, 'resources', 'icons'))
    ap.add_argument('--preview', metavar='FILE.png', help='also write a preview sheet')
    ap.add_argument('--preview-scale', type=int, default=1, metavar='N',
                    help='enlarge the whole preview sheet N times')
    args = ap.parse_args(argv)

    os.makedirs(args.outdir, exist_ok=True)
    rendered = []
    for number, name, draw in ICONS:
        canvases = render(draw)
        rendered.append(canvases)
        path = os.path.join(args.outdir, '%d_%s.ico' % (number, name))
        with open(path, 'wb') as f:
            f.write(ico_bytes(canvases))
        print(path)
    if args.preview:
        write_preview(args.preview, rendered, max(1, args.preview_scale))
        print(args.preview)
    return 0


if __name__ == '__main__':
    sys.exit(main())
