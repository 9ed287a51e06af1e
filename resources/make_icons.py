#!/usr/bin/env python3
"""Draws the tool's images into resources/icon/.

Only the Python standard library is used: shapes are rasterised with
signed-distance anti-aliasing, PNG is written with zlib, and the two
indicator images are written by a small baseline JPEG encoder (the window
loads them as ".jpeg"). The generated files are committed, so building the
tool never runs this script.

    python3 resources/make_icons.py
"""
import heapq
import math
import os
import struct
import zlib

OUT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "icon")

NAVY = (27, 42, 74)
BLUE = (45, 108, 223)
SKY = (92, 156, 240)
ORANGE = (242, 140, 40)
AMBER = (244, 180, 52)
AMBER_DARK = (214, 142, 30)
GREEN = (46, 164, 79)
RED = (215, 58, 58)
WHITE = (255, 255, 255)


# ---------------------------------------------------------------- canvas

class Canvas:
    """Straight-alpha RGBA canvas with float channels."""

    def __init__(self, w, h, background=None):
        self.w, self.h = w, h
        bg = (0.0, 0.0, 0.0, 0.0) if background is None else (*map(float, background), 255.0)
        self.px = [list(bg) for _ in range(w * h)]

    def fill(self, sdf, color, bbox=None, alpha=1.0):
        """Paint `color` (RGB tuple or callable(x, y) -> RGB) where sdf < 0."""
        x0, y0, x1, y1 = bbox if bbox else (0, 0, self.w, self.h)
        x0, y0 = max(0, int(x0) - 2), max(0, int(y0) - 2)
        x1, y1 = min(self.w, int(math.ceil(x1)) + 2), min(self.h, int(math.ceil(y1)) + 2)
        for y in range(y0, y1):
            for x in range(x0, x1):
                cx, cy = x + 0.5, y + 0.5
                cov = min(1.0, max(0.0, 0.5 - sdf(cx, cy))) * alpha
                if cov <= 0.0:
                    continue
                c = color(cx, cy) if callable(color) else color
                p = self.px[y * self.w + x]
                a_src = cov
                a_dst = p[3] / 255.0
                a_out = a_src + a_dst * (1.0 - a_src)
                for i in range(3):
                    p[i] = (c[i] * a_src + p[i] * a_dst * (1.0 - a_src)) / a_out
                p[3] = a_out * 255.0

    def rgba_rows(self):
        rows = []
        for y in range(self.h):
            row = bytearray()
            for x in range(self.w):
                row.extend(int(round(min(255.0, max(0.0, v)))) for v in self.px[y * self.w + x])
            rows.append(bytes(row))
        return rows

    def rgb_on(self, background):
        """Pixels flattened on an opaque background, as rows of (r, g, b)."""
        out = []
        for y in range(self.h):
            row = []
            for x in range(self.w):
                r, g, b, a = self.px[y * self.w + x]
                a /= 255.0
                row.append(tuple(v * a + bg * (1.0 - a) for v, bg in zip((r, g, b), background)))
            out.append(row)
        return out


# ---------------------------------------------------------------- shapes

def circle(cx, cy, r):
    return (lambda x, y: math.hypot(x - cx, y - cy) - r), (cx - r, cy - r, cx + r, cy + r)


def ring(cx, cy, r, width):
    return (lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - width / 2.0), \
        (cx - r - width, cy - r - width, cx + r + width, cy + r + width)


def _seg_dist(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    L = dx * dx + dy * dy
    t = 0.0 if L == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / L))
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy))


def polyline(points, width):
    """Round-capped stroke through `points`."""
    segs = list(zip(points, points[1:])) or [(points[0], points[0])]

    def sdf(x, y):
        return min(_seg_dist(x, y, a[0], a[1], b[0], b[1]) for a, b in segs) - width / 2.0

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return sdf, (min(xs) - width, min(ys) - width, max(xs) + width, max(ys) + width)


def rounded_rect(x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - radius, (y1 - y0) / 2.0 - radius

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius

    return sdf, (x0, y0, x1, y1)


def polygon(points, radius=0.0):
    """Filled simple polygon, corners rounded by `radius`."""
    n = len(points)

    def sdf(x, y):
        d = min(_seg_dist(x, y, *points[i], *points[(i + 1) % n]) for i in range(n))
        inside = False
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            if (ay > y) != (by > y) and x < (bx - ax) * (y - ay) / (by - ay) + ax:
                inside = not inside
        return (-d if inside else d) - radius

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return sdf, (min(xs) - radius, min(ys) - radius, max(xs) + radius, max(ys) + radius)


def paint(canvas, shape, color, alpha=1.0):
    sdf, bbox = shape
    canvas.fill(sdf, color, bbox, alpha)


def vertical_gradient(top, bottom, y0, y1):
    def color(x, y):
        t = max(0.0, min(1.0, (y - y0) / float(y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom))
    return color


# ---------------------------------------------------------------- drawings

def motor_glyph(c, cx, cy, r, fg=WHITE, accent=ORANGE):
    """A joint motor seen end-on: stator ring, rotor hub, three spokes."""
    paint(c, ring(cx, cy, r * 0.78, r * 0.20), fg)
    for k in range(12):
        a = 2.0 * math.pi * k / 12.0
        p0 = (cx + math.cos(a) * r * 0.86, cy + math.sin(a) * r * 0.86)
        p1 = (cx + math.cos(a) * r * 0.98, cy + math.sin(a) * r * 0.98)
        paint(c, polyline([p0, p1], r * 0.10), fg)
    for k in range(3):
        a = 2.0 * math.pi * k / 3.0 - math.pi / 2.0
        p0 = (cx + math.cos(a) * r * 0.18, cy + math.sin(a) * r * 0.18)
        p1 = (cx + math.cos(a) * r * 0.62, cy + math.sin(a) * r * 0.62)
        paint(c, polyline([p0, p1], r * 0.13), fg)
    paint(c, circle(cx, cy, r * 0.24), fg)
    paint(c, circle(cx, cy, r * 0.10), accent)


def app_icon(size=128):
    c = Canvas(size, size)
    s = size / 128.0
    paint(c, rounded_rect(4 * s, 4 * s, 124 * s, 124 * s, 26 * s),
          vertical_gradient(BLUE, NAVY, 4 * s, 124 * s))
    motor_glyph(c, 64 * s, 64 * s, 50 * s)
    return c


# Stroke letters on a 0.7 x 1.0 cell, y pointing down.
LETTERS = {
    "H": [[(0, 0), (0, 1)], [(0.7, 0), (0.7, 1)], [(0, 0.5), (0.7, 0.5)]],
    "A": [[(0, 1), (0.35, 0), (0.7, 1)], [(0.15, 0.62), (0.55, 0.62)]],
    "L": [[(0, 0), (0, 1), (0.62, 1)]],
    "V": [[(0, 0), (0.35, 1), (0.7, 0)]],
    "R": [[(0, 1), (0, 0), (0.42, 0), (0.6, 0.07), (0.67, 0.25), (0.6, 0.43), (0.42, 0.5), (0, 0.5)],
          [(0.32, 0.5), (0.7, 1)]],
    "E": [[(0.64, 0), (0, 0), (0, 1), (0.64, 1)], [(0, 0.5), (0.5, 0.5)]],
    "N": [[(0, 1), (0, 0), (0.7, 1), (0.7, 0)]],
}


def draw_text(c, text, x, y, height, stroke, color, gap=0.32):
    for ch in text:
        for line in LETTERS[ch]:
            pts = [(x + px * height, y + py * height) for px, py in line]
            paint(c, polyline(pts, stroke), color)
        width = max(px for line in LETTERS[ch] for px, _ in line)
        x += (width + gap) * height


def logo():
    w, h = 480, 270
    c = Canvas(w, h)
    paint(c, circle(118, 135, 98), vertical_gradient(BLUE, NAVY, 37, 233))
    motor_glyph(c, 118, 135, 80)
    draw_text(c, "HALVREN", 240, 108, 34, 6.0, NAVY, gap=0.3)
    paint(c, polyline([(241, 164), (462, 164)], 4), ORANGE)
    return c


def tip_icon(size=64):
    c = Canvas(size, size)
    s = size / 64.0
    paint(c, circle(32 * s, 32 * s, 29 * s), vertical_gradient(SKY, BLUE, 3 * s, 61 * s))
    paint(c, circle(32 * s, 18 * s, 4.5 * s), WHITE)
    paint(c, polyline([(32 * s, 29 * s), (32 * s, 47 * s)], 8 * s), WHITE)
    return c


def warning_icon(size=64):
    c = Canvas(size, size)
    s = size / 64.0
    paint(c, polygon([(32 * s, 7 * s), (59 * s, 55 * s), (5 * s, 55 * s)], 3 * s),
          vertical_gradient(AMBER, ORANGE, 4 * s, 58 * s))
    paint(c, polyline([(32 * s, 22 * s), (32 * s, 38 * s)], 7 * s), NAVY)
    paint(c, circle(32 * s, 47 * s, 4 * s), NAVY)
    return c


def folder_icon(size=64):
    c = Canvas(size, size)
    s = size / 64.0
    paint(c, polygon([(6 * s, 12 * s), (24 * s, 12 * s), (29 * s, 18 * s), (58 * s, 18 * s),
                      (58 * s, 52 * s), (6 * s, 52 * s)], 2.5 * s), AMBER_DARK)
    paint(c, rounded_rect(4 * s, 24 * s, 60 * s, 54 * s, 4 * s),
          vertical_gradient(AMBER, (236, 160, 40), 24 * s, 54 * s))
    paint(c, polyline([(9 * s, 29 * s), (55 * s, 29 * s)], 1.6 * s), (252, 214, 120))
    return c


def yes_mark(size=96):
    c = Canvas(size, size)
    s = size / 96.0
    paint(c, circle(48 * s, 48 * s, 42 * s), GREEN)
    paint(c, polyline([(27 * s, 50 * s), (42 * s, 64 * s), (70 * s, 33 * s)], 10 * s), WHITE)
    return c


def no_mark(size=96):
    c = Canvas(size, size)
    s = size / 96.0
    paint(c, circle(48 * s, 48 * s, 42 * s), RED)
    paint(c, polyline([(32 * s, 32 * s), (64 * s, 64 * s)], 10 * s), WHITE)
    paint(c, polyline([(64 * s, 32 * s), (32 * s, 64 * s)], 10 * s), WHITE)
    return c


# ---------------------------------------------------------------- PNG

def write_png(path, canvas):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + row for row in canvas.rgba_rows())
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", canvas.w, canvas.h, 8, 6, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(raw, 9))
           + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


# ---------------------------------------------------------------- baseline JPEG

ZIGZAG = [
    0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6, 7, 14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
]

LUMA_Q = [
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
]
CHROMA_Q = [
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
] + [99] * 32


def scaled_quant(table, quality):
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    return [max(1, min(255, (v * scale + 50) // 100)) for v in table]


COS = [[math.cos((2 * x + 1) * u * math.pi / 16.0) for x in range(8)] for u in range(8)]
CU = [math.sqrt(0.5) if u == 0 else 1.0 for u in range(8)]


def fdct(block):
    """8x8 forward DCT of level-shifted samples (row-major list of 64)."""
    tmp = [0.0] * 64
    for y in range(8):
        row = block[y * 8:y * 8 + 8]
        for u in range(8):
            cu = COS[u]
            tmp[y * 8 + u] = 0.5 * CU[u] * sum(row[x] * cu[x] for x in range(8))
    out = [0.0] * 64
    for u in range(8):
        col = [tmp[y * 8 + u] for y in range(8)]
        for v in range(8):
            cv = COS[v]
            out[v * 8 + u] = 0.5 * CU[v] * sum(col[y] * cv[y] for y in range(8))
    return out


def bit_size(v):
    v = abs(v)
    n = 0
    while v:
        n += 1
        v >>= 1
    return n


def huffman_lengths(freq):
    """Code lengths (<= 16) for the symbols of `freq`; no symbol gets the all-ones code."""
    PSEUDO = 256
    freq = dict(freq)
    while True:
        work = dict(freq)
        work[PSEUDO] = 1
        heap = [(f, i, [s]) for i, (s, f) in enumerate(sorted(work.items()))]
        heapq.heapify(heap)
        lengths = {s: 0 for s in work}
        counter = len(heap)
        if len(heap) == 1:
            lengths[heap[0][2][0]] = 1
        while len(heap) > 1:
            f1, _, s1 = heapq.heappop(heap)
            f2, _, s2 = heapq.heappop(heap)
            for s in s1 + s2:
                lengths[s] += 1
            heapq.heappush(heap, (f1 + f2, counter, s1 + s2))
            counter += 1
        if max(lengths.values()) <= 16:
            break
        freq = {s: max(1, f // 2) for s, f in freq.items()}
    # The pseudo symbol takes the last (all-ones) code of the longest length.
    longest = max(lengths.values())
    if lengths[PSEUDO] != longest:
        other = next(s for s, n in lengths.items() if n == longest)
        lengths[other], lengths[PSEUDO] = lengths[PSEUDO], longest
    return lengths


def canonical_table(lengths):
    """(bits[16], values, codes) with the pseudo symbol placed last and left out."""
    PSEUDO = 256
    order = sorted(lengths, key=lambda s: (lengths[s], s == PSEUDO, s))
    codes = {}
    code, prev_len = 0, 0
    for s in order:
        n = lengths[s]
        code <<= (n - prev_len)
        prev_len = n
        codes[s] = (code, n)
        code += 1
    values = [s for s in order if s != PSEUDO]
    bits = [0] * 16
    for s in values:
        bits[lengths[s] - 1] += 1
    del codes[PSEUDO]
    return bits, values, codes


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def write(self, value, nbits):
        for i in range(nbits - 1, -1, -1):
            self.acc = (self.acc << 1) | ((value >> i) & 1)
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                if self.acc == 0xFF:
                    self.out.append(0)
                self.acc, self.n = 0, 0

    def flush(self):
        if self.n:
            self.write((1 << (8 - self.n)) - 1, 8 - self.n)


def write_jpeg(path, canvas, background=WHITE, quality=92):
    rgb = canvas.rgb_on(background)
    w, h = canvas.w, canvas.h
    qt = [scaled_quant(LUMA_Q, quality), scaled_quant(CHROMA_Q, quality)]

    def sample(x, y):
        return rgb[min(y, h - 1)][min(x, w - 1)]

    # Quantised blocks per component, in MCU order (Y, Cb, Cr per 8x8 cell).
    blocks = []
    for by in range(0, h, 8):
        for bx in range(0, w, 8):
            planes = ([], [], [])
            for y in range(by, by + 8):
                for x in range(bx, bx + 8):
                    r, g, b = sample(x, y)
                    planes[0].append(0.299 * r + 0.587 * g + 0.114 * b - 128.0)
                    planes[1].append(-0.168736 * r - 0.331264 * g + 0.5 * b)
                    planes[2].append(0.5 * r - 0.418688 * g - 0.081312 * b)
            for comp in range(3):
                coef = fdct(planes[comp])
                q = qt[0 if comp == 0 else 1]
                blocks.append((comp, [int(round(coef[z] / q[z])) for z in ZIGZAG]))

    # Symbols: (table class, table id, symbol, extra value, extra bits).
    symbols = []
    last_dc = [0, 0, 0]
    for comp, zz in blocks:
        tid = 0 if comp == 0 else 1
        diff = zz[0] - last_dc[comp]
        last_dc[comp] = zz[0]
        n = bit_size(diff)
        symbols.append((0, tid, n, diff if diff >= 0 else diff + (1 << n) - 1, n))
        run = 0
        last_nonzero = max([i for i in range(1, 64) if zz[i] != 0], default=0)
        for i in range(1, last_nonzero + 1):
            v = zz[i]
            if v == 0:
                run += 1
                continue
            while run > 15:
                symbols.append((1, tid, 0xF0, 0, 0))
                run -= 16
            n = bit_size(v)
            symbols.append((1, tid, (run << 4) | n, v if v >= 0 else v + (1 << n) - 1, n))
            run = 0
        if last_nonzero < 63:
            symbols.append((1, tid, 0x00, 0, 0))

    tables = {}
    for key in ((0, 0), (1, 0), (0, 1), (1, 1)):
        freq = {}
        for tc, tid, sym, _, _ in symbols:
            if (tc, tid) == key:
                freq[sym] = freq.get(sym, 0) + 1
        if not freq:
            freq = {0: 1}
        tables[key] = canonical_table(huffman_lengths(freq))

    bw = BitWriter()
    for tc, tid, sym, extra, nbits in symbols:
        code, n = tables[(tc, tid)][2][sym]
        bw.write(code, n)
        if nbits:
            bw.write(extra, nbits)
    bw.flush()

    def segment(marker, payload):
        return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload

    out = bytearray(b"\xFF\xD8")
    out += segment(0xE0, b"JFIF\x00" + struct.pack(">BBBHHBB", 1, 1, 0, 1, 1, 0, 0))
    dqt = bytearray()
    for tid in range(2):
        dqt.append(tid)
        dqt.extend(qt[tid][z] for z in ZIGZAG)
    out += segment(0xDB, bytes(dqt))
    out += segment(0xC0, struct.pack(">BHHB", 8, h, w, 3)
                   + bytes([1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1]))
    dht = bytearray()
    for tc, tid in ((0, 0), (1, 0), (0, 1), (1, 1)):
        bits, values, _ = tables[(tc, tid)]
        dht.append((tc << 4) | tid)
        dht.extend(bits)
        dht.extend(values)
    out += segment(0xC4, bytes(dht))
    out += segment(0xDA, bytes([3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0]))
    out += bw.out
    out += b"\xFF\xD9"
    with open(path, "wb") as f:
        f.write(bytes(out))


def main():
    os.makedirs(OUT_DIR, exist_ok=True)
    write_png(os.path.join(OUT_DIR, "icon.png"), app_icon())
    write_png(os.path.join(OUT_DIR, "logo.png"), logo())
    write_png(os.path.join(OUT_DIR, "tip.png"), tip_icon())
    write_png(os.path.join(OUT_DIR, "warning.png"), warning_icon())
    write_png(os.path.join(OUT_DIR, "folder.png"), folder_icon())
    write_jpeg(os.path.join(OUT_DIR, "yes.jpeg"), yes_mark())
    write_jpeg(os.path.join(OUT_DIR, "no.jpeg"), no_mark())


if __name__ == "__main__":
    main()
