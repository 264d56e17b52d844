#!/usr/bin/env python3
"""Draws the application icon (orlo.ico), the picture control's bitmap (preview.bmp) and the
icons the Linux desktop menu shows (packaging/icons: PNG images and a scalable SVG).

The icon is the same chip with a download arrow as the desktop window's icon on Linux, drawn
on a 64 x 64 grid and rasterised with 4 x 4 samples per pixel. orlo.ico holds 16, 24, 32 and 48
pixel images at 4, 8 and 32 bits per pixel and a 256-pixel PNG image. Standard library only;
run it again after changing the drawing:  python3 apps/orlo-win/res/make_art.py
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = 4  # per pixel and direction

PIN = (0xB0, 0xB8, 0xC0)
BODY = (0x1F, 0x4E, 0x79)
MARK = (0x2E, 0x75, 0xB6)
ARROW = (0xFF, 0xC0, 0x00)
WHITE = (0xFF, 0xFF, 0xFF)


def in_rect(x, y, rx, ry, rw, rh):
    return rx <= x < rx + rw and ry <= y < ry + rh


def in_rounded(x, y, rx, ry, rw, rh, r):
    if not in_rect(x, y, rx, ry, rw, rh):
        return False
    cx = min(max(x, rx + r), rx + rw - r)
    cy = min(max(y, ry + r), ry + rh - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_ellipse(x, y, rx, ry, rw, rh):
    cx, cy = rx + rw / 2, ry + rh / 2
    return ((x - cx) / (rw / 2)) ** 2 + ((y - cy) / (rh / 2)) ** 2 <= 1


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def colour_at(x, y):
    """Colour of the drawing at grid point (x, y), or None where it is transparent."""
    colour = None
    for i in range(4):
        py = 16 + i * 10
        if in_rect(x, y, 4, py, 8, 5) or in_rect(x, y, 52, py, 8, 5):
            colour = PIN
    if in_rounded(x, y, 10, 8, 44, 48, 6):
        colour = BODY
    if in_ellipse(x, y, 15, 13, 6, 6):
        colour = MARK
    if in_rect(x, y, 28, 16, 8, 16) or in_triangle(x, y, (20, 30), (44, 30), (32, 43)):
        colour = ARROW
    if in_rounded(x, y, 18, 46, 28, 4, 2):
        colour = WHITE
    return colour


def render(size):
    """Rows of (r, g, b, a) pixels, top row first."""
    rows = []
    scale = 64.0 / size
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = n = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((px + (sx + 0.5) / SAMPLES) * scale,
                                  (py + (sy + 0.5) / SAMPLES) * scale)
                    if c:
                        r, g, b, n = r + c[0], g + c[1], b + c[2], n + 1
            if n == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((r // n, g // n, b // n, 255 * n // (SAMPLES * SAMPLES)))
        rows.append(row)
    return rows


# The 16 colours of the standard Windows palette.
PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# A 6 x 6 x 6 colour cube and a grey ramp.
PALETTE256 = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
PALETTE256 += [(v, v, v) for v in range(8, 248, 6)][: 256 - len(PALETTE256)]


def nearest(palette, c):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - c[k]) ** 2 for k in range(3)))


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def and_mask(rows):
    out = b""
    for row in reversed(rows):
        bits = bytearray((len(row) + 7) // 8)
        for x, p in enumerate(row):
            if p[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += padded(bytes(bits))
    return out


def dib_image(rows, bits):
    """An icon image: BITMAPINFOHEADER (double height), palette, colour bits, AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    if bits == 32:
        palette = b""
        xor = b"".join(
            padded(bytes(v for p in row for v in (p[2], p[1], p[0], p[3]))) for row in
            reversed(rows))
    else:
        pal = PALETTE16 if bits == 4 else PALETTE256
        palette = b"".join(struct.pack("<BBBB", c[2], c[1], c[0], 0) for c in pal)
        xor = b""
        for row in reversed(rows):
            idx = [nearest(pal, p) if p[3] >= 128 else 0 for p in row]
            if bits == 4:
                data = bytes((idx[i] << 4) | (idx[i + 1] if i + 1 < len(idx) else 0)
                             for i in range(0, len(idx), 2))
            else:
                data = bytes(idx)
            xor += padded(data)
    return header + palette + xor + and_mask(rows)


def png_image(rows):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_icon(path):
    images = []  # (size, colour count, bits, data)
    for bits in (4, 8, 32):
        for size in (16, 24, 32, 48):
            images.append((size, 16 if bits == 4 else 0, bits, dib_image(render(size), bits)))
    images.append((256, 0, 32, png_image(render(256))))
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    data = b""
    for size, colours, bits, image in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bits,
                                 len(image), offset + len(data))
        data += image
    with open(path, "wb") as f:
        f.write(directory + data)


def write_bitmap(path, width, height):
    """A 4-bit bitmap of the icon on a light background, for the hidden picture control."""
    rows = render(height)
    pixels = []
    for y in range(height):
        row = []
        for x in range(width):
            sx = x - (width - height) // 2
            p = rows[y][sx] if 0 <= sx < height else (0, 0, 0, 0)
            row.append(nearest(PALETTE16, p) if p[3] >= 128 else 7)  # light grey background
        pixels.append(row)
    body = b""
    for row in reversed(pixels):
        body += padded(bytes((row[i] << 4) | (row[i + 1] if i + 1 < width else 0)
                             for i in range(0, width, 2)))
    palette = b"".join(struct.pack("<BBBB", c[2], c[1], c[0], 0) for c in PALETTE16)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(body), 2835, 2835, 16, 0)
    offset = 14 + len(info) + len(palette)
    head = struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(head + info + palette + body)


def hex_colour(c):
    return "#%02x%02x%02x" % c


def write_svg(path):
    """The drawing of colour_at as an SVG on the same 64 x 64 grid."""
    shapes = []
    for i in range(4):
        py = 16 + i * 10
        for px in (4, 52):
            shapes.append('<rect x="%d" y="%d" width="8" height="5" fill="%s"/>'
                          % (px, py, hex_colour(PIN)))
    shapes.append('<rect x="10" y="8" width="44" height="48" rx="6" fill="%s"/>' % hex_colour(BODY))
    shapes.append('<circle cx="18" cy="16" r="3" fill="%s"/>' % hex_colour(MARK))
    shapes.append('<rect x="28" y="16" width="8" height="16" fill="%s"/>' % hex_colour(ARROW))
    shapes.append('<polygon points="20,30 44,30 32,43" fill="%s"/>' % hex_colour(ARROW))
    shapes.append('<rect x="18" y="46" width="28" height="4" rx="2" fill="%s"/>'
                  % hex_colour(WHITE))
    with open(path, "w") as f:
        f.write('<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" '
                'viewBox="0 0 64 64">\n')
        f.writelines("  %s\n" % s for s in shapes)
        f.write("</svg>\n")


# Sizes of the desktop icon theme's PNG images (share/icons/hicolor/NxN/apps).
DESKTOP_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)

if __name__ == "__main__":
    write_icon(os.path.join(HERE, "orlo.ico"))
    write_bitmap(os.path.join(HERE, "preview.bmp"), 96, 40)
    icons = os.path.join(HERE, "..", "..", "..", "packaging", "icons")
    os.makedirs(icons, exist_ok=True)
    for size in DESKTOP_SIZES:
        with open(os.path.join(icons, "orlo-gui-%d.png" % size), "wb") as f:
            f.write(png_image(render(size)))
    write_svg(os.path.join(icons, "orlo-gui.svg"))
