"""Writes a multi-frame colour DICOM loop for the GIF benchmark: FRAMES frames of SIZE x SIZE,
8-bit RGB, Explicit VR Little Endian, Cine Rate 20: smooth colour fields drifting under a
moving bright disc, with noise, so that each frame holds thousands of colours.

usage: make_colour_loop.py FILE FRAMES [SIZE]   (SIZE defaults to 256)"""
import sys

import numpy as np
from new_dataset import new_dataset

SECONDARY_CAPTURE = "1.2.840.10008.5.1.4.1.1.7"


def frame(index, size, rng):
    y, x = np.mgrid[0:size, 0:size].astype(np.float32) / size
    phase = 2 * np.pi * index / 50
    red = 128 + 100 * np.sin(5 * x + phase)
    green = 128 + 90 * np.cos(4 * y - phase)
    blue = 128 + 80 * np.sin(3 * (x + y) + 2 * phase)
    disc = ((x - 0.5 - 0.3 * np.cos(phase)) ** 2 + (y - 0.5) ** 2) < 0.02
    picture = np.stack([red, green, blue], -1) + 60 * disc[..., None] + rng.normal(0, 3, (size, size, 3))
    return np.clip(picture, 0, 255).astype(np.uint8)


def main():
    path, frames = sys.argv[1], int(sys.argv[2])
    size = int(sys.argv[3]) if len(sys.argv) > 3 else 256
    rng = np.random.default_rng(2024)
    ds = new_dataset(path, SECONDARY_CAPTURE)
    ds.Rows = ds.Columns = size
    ds.SamplesPerPixel, ds.PhotometricInterpretation, ds.PlanarConfiguration = 3, "RGB", 0
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 8, 8, 7, 0
    ds.NumberOfFrames, ds.CineRate = frames, "20"
    ds.PixelData = np.stack([frame(i, size, rng) for i in range(frames)]).tobytes()
    ds.save_as(path, write_like_original=False)


if __name__ == "__main__":
    main()
