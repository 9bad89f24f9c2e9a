#!/usr/bin/env python3
"""Draws Ratemill's icon (ratemill.ico): two waveforms, a coarse one becoming a fine one, on a
rounded teal tile. 16x16, 32x32 and 48x48 images, 32-bit with alpha, and a 256x256 one stored
as PNG (as Windows expects for that size; Explorer shows it in its large views)."""
import math
import struct
import sys
import zlib


def pixel(size, x, y):
    """RGBA of one pixel, drawn at 4x4 supersampling for smooth edges."""
    samples = 4
    r = g = b = a = 0.0
    for sy in range(samples):
        for sx in range(samples):
            u = (x + (sx + 0.5) / samples) / size
            v = (y + (sy + 0.5) / samples) / size
            cr, cg, cb, ca = shade(u, v, size)
            r += cr * ca
            g += cg * ca
            b += cb * ca
            a += ca
    n = samples * samples
    if a == 0:
        return (0, 0, 0, 0)
    return (int(r / a), int(g / a), int(b / a), int(255 * a / n))


def shade(u, v, size):
    # Rounded square tile.
    margin, radius = 0.04, 0.2
    dx = max(margin + radius - u, 0, u - (1 - margin - radius))
    dy = max(margin + radius - v, 0, v - (1 - margin - radius))
    if math.hypot(dx, dy) > radius:
        return (0, 0, 0, 0)
    top, bottom = (26, 150, 160), (12, 80, 110)
    base = tuple(top[i] + (bottom[i] - top[i]) * v for i in range(3))
    # The waveform: a slow wave on the left turning into a fast one on the right.
    width = 0.055 if size <= 16 else 0.04
    frequency = 1.5 + 5.0 * u * u
    wave = 0.5 - 0.26 * math.sin(2 * math.pi * frequency * u) * (0.6 + 0.4 * u)
    if 0.12 < u < 0.88 and abs(v - wave) < width:
        return (255, 255, 255, 1.0)
    return base + (1.0,)


def rgba_rows(size):
    """The image's rows of RGBA pixels, top row first."""
    return [[pixel(size, x, y) for x in range(size)] for y in range(size)]


def bitmap(size):
    """A 32-bit device-independent bitmap with its (unused) AND mask, as ICO entries hold."""
    rows = []
    for row in reversed(rgba_rows(size)):  # bottom-up
        rows.append(b"".join(struct.pack("<BBBB", p[2], p[1], p[0], p[3]) for p in row))
    mask_row = b"\0" * (((size + 31) // 32) * 4)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + mask_row * size


def png(size):
    """A PNG file of the image: 8-bit RGBA, not interlaced."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in rgba_rows(size))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(path):
    sizes = [16, 32, 48, 256]
    images = [png(s) if s == 256 else bitmap(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        # A width or height of 256 is written as 0.
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "ratemill.ico")
