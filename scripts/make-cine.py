# A 10-frame 256 x 256 CT-like loop (a growing disc) with two windows, for the screenshots.
#   /usr/bin/python3 scripts/make-cine.py OUT.dcm
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from new_dataset import new_dataset  # noqa: E402

path = sys.argv[1]
ds = new_dataset(path, "1.2.840.10008.5.1.4.1.1.2")
ds.Rows = ds.Columns = 256
ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
ds.RescaleSlope, ds.RescaleIntercept = 1, -1024
ds.WindowCenter, ds.WindowWidth = [40, 400], [400, 2000]
ds.WindowCenterWidthExplanation = ["WINDOW1", "BONE"]
ds.NumberOfFrames = 10
ds.Modality = "CT"
y, x = np.mgrid[0:256, 0:256]
r = np.hypot(x - 128, y - 128)
frames = [np.where(r < 30 + f * 8, 1424 + f * 20, 324 + (x * 4) % 300).astype("<u2") for f in range(10)]
ds.PixelData = np.stack(frames).tobytes()
ds.save_as(path, write_like_original=False)
