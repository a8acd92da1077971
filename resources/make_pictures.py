#!/usr/bin/env python3
"""Draws the window's logo (66x46) and banner (188x18) and writes them as JPEG.

Run once from the resources folder; needs cjpeg (Debian package libjpeg-turbo-progs).
The JPEG files are committed, so a build never needs this script.
"""
import subprocess

# 5x7 glyphs for the banner's lettering.
GLYPHS = {
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "I": ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    "Y": ["10001", "10001", "01010", "00100", "00100", "00100", "00100"],
    " ": ["00000"] * 7,
}


def blank(width, height, colour):
    return [[colour for _ in range(width)] for _ in range(height)]


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def logo():
    width, height = 66, 46
    img = blank(width, height, (255, 255, 255))
    # Light rays fanning out behind the envelope.
    for y in range(height):
        for x in range(width):
            dx, dy = x - 33, y - 40
            if dy < 0 and abs(dx) < -dy * 1.6 and (x // 3 + y // 3) % 2 == 0:
                img[y][x] = (255, 236, 150)
    # The envelope body.
    left, top, right, bottom = 11, 12, 55, 41
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            edge = x in (left, right) or y in (top, bottom)
            img[y][x] = (30, 70, 160) if edge else mix((120, 170, 240), (60, 110, 210), (y - top) / (bottom - top))
    # The flap: two lines from the top corners to the middle.
    mid_x, mid_y = (left + right) // 2, top + 16
    for step in range(101):
        t = step / 100
        for (sx, sy) in ((left, top), (right, top)):
            x = round(sx + (mid_x - sx) * t)
            y = round(sy + (mid_y - sy) * t)
            img[y][x] = (255, 255, 255)
    return width, height, img


def banner():
    width, height = 188, 18
    img = [[mix((20, 60, 150), (0, 160, 120), x / (width - 1)) for x in range(width)] for _ in range(height)]
    text = "LUMENPOST MAIL RELAY"
    pitch = 6
    x0 = (width - len(text) * pitch + 1) // 2
    for i, ch in enumerate(text):
        for row, bits in enumerate(GLYPHS[ch]):
            for col, bit in enumerate(bits):
                if bit == "1":
                    img[5 + row][x0 + i * pitch + col] = (255, 255, 255)
    return width, height, img


def write_jpeg(name, picture):
    width, height, img = picture
    ppm = b"P6\n%d %d\n255\n" % (width, height)
    ppm += bytes(v for row in img for pixel in row for v in pixel)
    jpeg = subprocess.run(["cjpeg", "-quality", "92", "-optimize"], input=ppm,
                          capture_output=True, check=True).stdout
    with open(name, "wb") as out:
        out.write(jpeg)


write_jpeg("logo.jpg", logo())
write_jpeg("banner.jpg", banner())
