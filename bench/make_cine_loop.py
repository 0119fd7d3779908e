"""Writes a multi-frame grey DICOM loop for the movie benchmark: FRAMES frames of SIZE x SIZE,
8 bits, Explicit VR Little Endian, a window covering the 8 bits and a Cine Rate of 15. Each
frame shows dark vessels over a textured background, pulsing and drifting, with noise, so the
encoder sees an angiography-like loop rather than a still picture.

usage: make_cine_loop.py FILE FRAMES [SIZE]   (SIZE defaults to 512)"""
import sys

import numpy as np
from new_dataset import new_dataset

XA_STORAGE = "1.2.840.10008.5.1.4.1.1.12.1"


def frame(index, size, rng):
    y, x = np.mgrid[0:size, 0:size].astype(np.float32) / size
    background = 150 + 30 * np.sin(6 * x + 4 * y) + 20 * np.cos(9 * y - 3 * x)
    phase = 2 * np.pi * index / 25
    vessels = np.zeros_like(x)
    for k in range(5):
        centre = 0.2 + 0.15 * k + 0.03 * np.sin(phase + k) + 0.05 * np.sin(7 * y + k)
        width = 0.010 + 0.004 * (1 + np.sin(phase)) * (k % 2 + 1)
        vessels += np.exp(-(((x - centre) / width) ** 2))
    picture = background - 90 * np.clip(vessels, 0, 1) + rng.normal(0, 4, x.shape)
    return np.clip(picture, 0, 255).astype(np.uint8)


def main():
    path, frames = sys.argv[1], int(sys.argv[2])
    size = int(sys.argv[3]) if len(sys.argv) > 3 else 512
    rng = np.random.default_rng(2024)
    ds = new_dataset(path, XA_STORAGE)
    ds.Modality = "XA"
    ds.Rows = ds.Columns = size
    ds.NumberOfFrames = frames
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated = ds.BitsStored = 8
    ds.HighBit = 7
    ds.PixelRepresentation = 0
    ds.WindowCenter = 127.5
    ds.WindowWidth = 256
    ds.CineRate = 15
    ds.PixelData = b"".join(frame(i, size, rng).tobytes() for i in range(frames))
    ds.save_as(path, write_like_original=False)


if __name__ == "__main__":
    main()
