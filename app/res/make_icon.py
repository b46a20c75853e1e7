#!/usr/bin/env python3
"""Draws the program's icon: a globe with an orbiting satellite and a download arrow, as two
16-colour images (32 x 32 and 16 x 16) in one .ico file.

    app/res/make_icon.py app/res/mirador.ico

The .ico is kept in the repository; run this again only to change the picture.
"""
import math
import struct
import sys

# The 16 colours of the standard VGA palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_BLUE, TEAL, SILVER, GREY, RED, LIME, YELLOW, BLUE, CYAN, WHITE = 0, 4, 6, 7, 8, 9, 10, 11, 12, 14, 15
CLEAR = None  # transparent


def draw(size):
    """Returns size rows of size colour indexes (or CLEAR), top row first."""
    s = size / 32.0
    img = [[CLEAR] * size for _ in range(size)]
    cx, cy, r = 13.5 * s, 17.5 * s, 11.5 * s

    for y in range(size):
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            dx, dy = (px - cx) / r, (py - cy) / r
            d = math.hypot(dx, dy)
            if d <= 1.0:
                # Globe: shaded sea, a land band, meridian and equator lines.
                colour = BLUE if dx + dy < 0.3 else DARK_BLUE
                if abs(math.sin(3.0 * dx) + 0.6 * dy) < 0.35:
                    colour = LIME if dx + dy < 0.3 else TEAL
                z = math.sqrt(max(0.0, 1.0 - d * d))
                if size >= 32 and (abs(dy) < 0.05 or abs(dx / max(z, 0.2) * z) < 0.05):
                    colour = CYAN
                if d > 0.92:
                    colour = BLACK
                img[y][x] = colour

    # Orbit: an ellipse around the globe.
    for i in range(720):
        t = math.radians(i / 2.0)
        x = int(cx + 14.0 * s * math.cos(t))
        y = int(cy - 5.0 * s * math.sin(t) - 3.0 * s * math.cos(t))
        behind = math.sin(t) > 0 and math.hypot(x + 0.5 - cx, y + 0.5 - cy) < r
        if 0 <= x < size and 0 <= y < size and not behind:
            img[y][x] = YELLOW

    # Satellite: a body with two solar panels, upper right.
    sx, sy = int(24 * s), int(6 * s)
    w = max(1, int(2 * s))
    for y in range(sy - w, sy + w + 1):
        for x in range(sx - w, sx + w + 1):
            if 0 <= x < size and 0 <= y < size:
                edge = size >= 32 and (abs(x - sx) == w or abs(y - sy) == w)
                img[y][x] = GREY if edge else SILVER
    for k in range(1, int(4 * s) + 2):
        for x, y in ((sx - w - k, sy - k // 2), (sx + w + k, sy + k // 2)):
            for t in range(max(1, int(s * 2))):
                if 0 <= x < size and 0 <= y + t < size:
                    img[y + t][x] = CYAN

    # Download arrow, lower right: the firmware going into the receiver.
    ax, top, bottom = int(26 * s), int(16 * s), int(30 * s)
    shaft = 1 if size >= 32 else 0
    for y in range(top, bottom + 1):
        head = bottom - y
        half = head if head < max(3, int(5 * s)) else shaft
        for x in range(ax - half, ax + half + 1):
            if 0 <= x < size and 0 <= y < size:
                img[y][x] = RED if abs(x - ax) < half or half == shaft else BLACK
    return img


def icon_image(img):
    """The BITMAPINFOHEADER, palette, 4-bit colour rows and 1-bit mask rows of one image."""
    size = len(img)
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor, mask = b'', b''
    for row in reversed(img):  # bottom-up
        bits = bytearray(xor_stride)
        for x, c in enumerate(row):
            v = c if c is not None else 0
            bits[x // 2] |= v << 4 if x % 2 == 0 else v
        xor += bytes(bits)
        m = bytearray(and_stride)
        for x, c in enumerate(row):
            if c is None:
                m[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(m)
    return header + palette + xor + mask


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    images = [icon_image(draw(32)), icon_image(draw(16))]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for data, size in zip(images, (32, 16)):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
