#!/usr/bin/python3
"""Writes a small DNG of a known colour pattern with tifffile, for the raw tests and bench.

usage: make_dng.py OUT WIDTH HEIGHT [--orientation N] [--kind cfa|linear|mono]
                   [--black N] [--claim-width N --claim-height N]

The scene is four quadrants (red, green, blue, grey) under a left-to-right brightness ramp,
as 12-bit samples in 16-bit words. `cfa` stores it as an RGGB Bayer mosaic, `linear` as
three samples per pixel (LinearRaw), `mono` as one sample per pixel of a sensor without
colour filter (CFA data without a CFA pattern, which LibRaw reads as monochrome). The camera
is linear sRGB: its colour matrix is the XYZ-to-sRGB matrix under D65. --claim-* writes a
header that claims a larger picture than the data present (a lying file).
"""
import argparse

import numpy
import tifffile

WHITE = 4095
XYZ_TO_SRGB = [[3.2406, -1.5372, -0.4986], [-0.9689, 1.8758, 0.0415], [0.0557, -0.2040, 1.0570]]


def scene(width, height):
    ramp = 0.35 + 0.6 * numpy.arange(width) / max(width - 1, 1)
    rgb = numpy.zeros((height, width, 3))
    top, left = numpy.arange(height)[:, None] < height // 2, numpy.arange(width)[None, :] < width // 2
    colours = {(True, True): (0.9, 0.1, 0.1), (True, False): (0.1, 0.8, 0.1),
               (False, True): (0.1, 0.15, 0.9), (False, False): (0.6, 0.6, 0.6)}
    for (t, l), colour in colours.items():
        mask = (top == t) & (left == l)
        for c in range(3):
            rgb[..., c] = numpy.where(mask, colour[c], rgb[..., c])
    return numpy.clip(rgb * ramp[None, :, None] * WHITE, 0, WHITE).astype(numpy.uint16)


def mosaic(rgb):
    out = rgb[..., 1].copy()
    out[0::2, 0::2] = rgb[0::2, 0::2, 0]
    out[1::2, 1::2] = rgb[1::2, 1::2, 2]
    return out


def srational(values):
    out = []
    for v in values:
        out += [int(round(v * 10000)), 10000]
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("width", type=int)
    p.add_argument("height", type=int)
    p.add_argument("--orientation", type=int, default=1)
    p.add_argument("--kind", choices=["cfa", "linear", "mono"], default="cfa")
    p.add_argument("--black", type=int, default=0)
    p.add_argument("--claim-width", type=int, default=0)
    p.add_argument("--claim-height", type=int, default=0)
    a = p.parse_args()

    rgb = scene(a.width, a.height)
    if a.black:
        rgb = (rgb.astype(numpy.uint32) * (WHITE - a.black) // WHITE + a.black).astype(numpy.uint16)
    tags = [
        (274, "H", 1, a.orientation, True),
        (271, "s", 0, "Glintwise", True),
        (272, "s", 0, "Test Camera", True),
        (50706, "B", 4, (1, 4, 0, 0), True),
        (50707, "B", 4, (1, 1, 0, 0), True),
        (50708, "s", 0, "Glintwise Test Camera", True),
        (50714, "I", 1, a.black, True),
        (50717, "I", 1, WHITE, True),
        (50721, "2i", 9, srational(sum(XYZ_TO_SRGB, [])), True),
        (50778, "H", 1, 21, True),
        (50728, "2I", 3, (1, 1, 1, 1, 1, 1), True),
    ]
    if a.kind == "cfa":
        data, photometric = mosaic(rgb), 32803
        tags += [(33421, "H", 2, (2, 2), True), (33422, "B", 4, (0, 1, 1, 2), True)]
    elif a.kind == "linear":
        data, photometric = rgb, 34892
    else:
        data, photometric = rgb[..., 1].copy(), 32803
    tifffile.imwrite(a.out, data, photometric=photometric, planarconfig="contig",
                     extratags=tags, metadata=None)
    if a.claim_width or a.claim_height:
        claim(a.out, a.claim_width or a.width, a.claim_height or a.height)


def claim(path, width, height):
    """Rewrites ImageWidth and ImageLength of the first IFD in place (both written as LONG or
    SHORT by tifffile; SHORT values are capped at 65535)."""
    import struct
    b = bytearray(open(path, "rb").read())
    ifd = struct.unpack_from("<I", b, 4)[0]
    count = struct.unpack_from("<H", b, ifd)[0]
    for i in range(count):
        at = ifd + 2 + 12 * i
        tag, kind = struct.unpack_from("<HH", b, at)
        if tag in (256, 257):
            value = width if tag == 256 else height
            if kind == 3:
                struct.pack_into("<H", b, at + 8, min(value, 65535))
            else:
                struct.pack_into("<I", b, at + 8, value)
    open(path, "wb").write(b)


if __name__ == "__main__":
    main()
