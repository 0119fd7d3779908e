"""Writes a series of CT-like DICOM files for the benchmarks: 512 x 512, 16 bits allocated,
12 stored, Explicit VR Little Endian, rescale intercept -1024 and a soft-tissue window.
Each slice is an ellipse of water-like tissue with bone, air pockets and noise, so codecs
see realistic content rather than a flat picture.

usage: make_ct_series.py FOLDER COUNT [SIZE]   (SIZE x SIZE pixels, default 512)"""
import sys

import numpy as np
from new_dataset import new_dataset
from pydicom.uid import generate_uid

CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"


def slice_pixels(index, size=512, rng=None):
    # Drawn at 512 x 512 proportions; other sizes scale the anatomy.
    s = size / 512
    y, x = (np.mgrid[0:size, 0:size] / s).astype(np.float32)
    cx = cy = 256
    body = ((x - cx) / 200) ** 2 + ((y - cy) / 160) ** 2 <= 1
    bone = (((x - cx) / 40) ** 2 + ((y - cy - 90 + index % 7) / 30) ** 2) <= 1
    lung_l = ((x - cx + 80) / 55) ** 2 + ((y - cy + 10) / 70) ** 2 <= 1
    lung_r = ((x - cx - 80) / 55) ** 2 + ((y - cy + 10) / 70) ** 2 <= 1
    hu = np.full((size, size), -1000.0, dtype=np.float32)  # air around the body
    hu[body] = 40.0
    hu[lung_l | lung_r] = -800.0
    hu[bone] = 900.0
    hu += rng.normal(0.0, 15.0, hu.shape).astype(np.float32)
    stored = np.clip(hu + 1024.0, 0, 4095)  # stored = HU - intercept
    return stored.astype("<u2")


def write_slice(path, index, pixels, series_uid):
    ds = new_dataset(path, CT_IMAGE_STORAGE)
    ds.SeriesInstanceUID = series_uid
    ds.Modality = "CT"
    ds.InstanceNumber = index + 1
    ds.Rows, ds.Columns = pixels.shape
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated = 16
    ds.BitsStored = 12
    ds.HighBit = 11
    ds.PixelRepresentation = 0
    ds.RescaleIntercept = -1024
    ds.RescaleSlope = 1
    ds.WindowCenter = 40
    ds.WindowWidth = 400
    ds.PixelData = pixels.tobytes()
    ds.save_as(path, write_like_original=False)


def main():
    folder, count = sys.argv[1], int(sys.argv[2])
    size = int(sys.argv[3]) if len(sys.argv) > 3 else 512
    rng = np.random.default_rng(2024)
    series = generate_uid()
    for i in range(count):
        write_slice(f"{folder}/CT{i + 1:04d}.dcm", i, slice_pixels(i, size, rng=rng), series)


if __name__ == "__main__":
    main()
