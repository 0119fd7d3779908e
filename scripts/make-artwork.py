#!/usr/bin/python3
"""Draws the program icon and the title-bar glyphs into resources/.

Run with Debian's python3 (Pillow). Everything is drawn at four times its size and
scaled down, which gives smooth edges."""
import math
import os
import sys

from PIL import Image, ImageDraw

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RES = os.path.join(ROOT, "resources")
SS = 4  # supersampling factor


def lerp(a, b, t):
    return tuple(int(a[i] + (b[i] - a[i]) * t) for i in range(len(a)))


def icon(size):
    big = size * SS
    img = Image.new("RGBA", (big, big), (0, 0, 0, 0))
    # Rounded square with a vertical blue gradient.
    grad = Image.new("RGBA", (big, big))
    gd = ImageDraw.Draw(grad)
    for y in range(big):
        gd.line([(0, y), (big, y)], fill=lerp((58, 122, 184, 255), (28, 56, 92, 255), y / big))
    mask = Image.new("L", (big, big), 0)
    ImageDraw.Draw(mask).rounded_rectangle([0, 0, big - 1, big - 1], radius=big // 5, fill=255)
    img.paste(grad, (0, 0), mask)
    d = ImageDraw.Draw(img)
    # A dark film with one scan slice on it: a bright bone ring around soft grey tissue.
    m = big * 0.16
    d.rounded_rectangle([m, m * 1.25, big - m, big - m * 0.75], radius=big // 14,
                        fill=(12, 18, 26, 255), outline=(200, 214, 230, 255), width=big // 64)
    cx, cy, rx, ry = big * 0.5, big * 0.56, big * 0.25, big * 0.27
    for i in range(40):
        t = i / 39
        rr = 1.0 - 0.74 * t
        shade = int(88 + 90 * t)
        d.ellipse([cx - rx * rr, cy - ry * rr, cx + rx * rr, cy + ry * rr],
                  fill=(shade, shade, shade + 6, 255))
    d.ellipse([cx - rx, cy - ry, cx + rx, cy + ry], outline=(246, 248, 250, 255),
              width=big // 28)
    # The glint: a four-pointed star at the top right.
    sx, sy, sr = big * 0.76, big * 0.24, big * 0.15
    pts = []
    for k in range(8):
        a = math.pi / 4 * k - math.pi / 2
        rr = sr if k % 2 == 0 else sr * 0.22
        pts.append((sx + rr * math.cos(a), sy + rr * math.sin(a)))
    d.polygon(pts, fill=(255, 255, 255, 255))
    return img.resize((size, size), Image.LANCZOS)


def glyph(kind, w=21, h=20, colour=(255, 255, 255, 255)):
    big = Image.new("RGBA", (w * SS, h * SS), (0, 0, 0, 0))
    d = ImageDraw.Draw(big)
    cx, cy = w * SS / 2, h * SS / 2
    s = 4.5 * SS  # half size of the glyph
    lw = int(1.3 * SS)
    if kind == "min":
        d.line([(cx - s, cy + s * 0.6), (cx + s, cy + s * 0.6)], fill=colour, width=lw)
    elif kind == "max":
        d.rectangle([cx - s, cy - s, cx + s, cy + s], outline=colour, width=lw)
        d.line([(cx - s, cy - s + lw), (cx + s, cy - s + lw)], fill=colour, width=lw)
    elif kind == "close":
        d.line([(cx - s, cy - s), (cx + s, cy + s)], fill=colour, width=lw)
        d.line([(cx - s, cy + s), (cx + s, cy - s)], fill=colour, width=lw)
    elif kind == "down":
        d.polygon([(cx - s, cy - s * 0.4), (cx + s, cy - s * 0.4), (cx, cy + s * 0.6)], fill=colour)
    elif kind == "arrow":
        d.line([(cx - s, cy), (cx + s * 0.9, cy)], fill=colour, width=lw + SS)
        d.polygon([(cx + s * 1.2, cy), (cx + s * 0.2, cy - s * 0.8), (cx + s * 0.2, cy + s * 0.8)],
                  fill=colour)
    return big.resize((w, h), Image.LANCZOS)


def main():
    os.makedirs(os.path.join(RES, "images"), exist_ok=True)
    icon(256).save(os.path.join(RES, "glintwise.png"))
    icon(24).save(os.path.join(RES, "images", "logo.png"))
    for kind in ("min", "max", "close"):
        glyph(kind).save(os.path.join(RES, "images", kind + ".png"))
    glyph("down", 12, 12, (47, 93, 138, 255)).save(os.path.join(RES, "images", "down.png"))
    glyph("arrow", 20, 20).save(os.path.join(RES, "images", "arrow.png"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
