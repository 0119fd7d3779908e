"""Inputs and checks for the converter's animated GIF tests, run by Debian's python3 (pydicom,
numpy, Pillow); Pillow is the independent GIF decoder.

  rgb OUT FRAMES ROWS COLS few|one|many   an uncompressed RGB loop: 200 colours a frame,
                                          one colour, or a moving gradient of thousands
  read GIF FOLDER [FIRST]                 the GIF's frames against the folder's PNG frames
                                          (name order, from the FIRST one), one line each: frame count, loop
                                          count, delays in hundredths, each frame's mean
                                          absolute error, each frame's largest error, each
                                          frame's mean error of 4 x 4 block means (what the
                                          eye sees of a dithered area)
"""
import os
import sys
import warnings

import numpy as np
import pydicom
from PIL import Image
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

warnings.simplefilter("ignore")


def rgb(out, frames, rows, cols, kind):
    frames, rows, cols = int(frames), int(rows), int(cols)
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"  # secondary capture
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID = meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID
    ds.Rows, ds.Columns, ds.SamplesPerPixel = rows, cols, 3
    ds.PhotometricInterpretation, ds.PlanarConfiguration = "RGB", 0
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 8, 8, 7, 0
    ds.NumberOfFrames = frames
    ds.CineRate = "20"
    y, x = np.mgrid[0:rows, 0:cols]
    stack = []
    for f in range(frames):
        if kind == "one":
            frame = np.zeros((rows, cols, 3)) + (200, 30, 90)
        elif kind == "few":
            # 200 colours scattered over the cube, a different set each frame
            k = (x * 7 + y * 13 + f) % 200
            frame = np.stack([(k * 37 + f * 11) % 256, (k * 91) % 256, (k * 53 + 17) % 256], -1)
        else:
            frame = np.stack([(x * 255 // max(cols - 1, 1) + f * 9) % 256, y * 255 // max(rows - 1, 1),
                              ((x + y) * 128 // max(rows + cols, 1) + 64 + 40 * np.sin((x + f * 3) / 9.0))], -1)
        stack.append(frame)
    ds.PixelData = np.clip(np.stack(stack), 0, 255).astype(np.uint8).tobytes()
    ds.save_as(out, write_like_original=False)


def read(gif, folder, first=0):
    names = sorted(n for n in os.listdir(folder) if n.endswith(".png"))[int(first):]
    image = Image.open(gif)
    loop = image.info.get("loop", -1)
    delays, means, largest, blocks = [], [], [], []
    for index in range(image.n_frames):
        image.seek(index)
        delays.append(image.info.get("duration", 0) // 10)
        if index < len(names):
            decoded = np.asarray(image.convert("RGB"), np.int32)
            ours = np.asarray(Image.open(os.path.join(folder, names[index])).convert("RGB"), np.int32)
            error = np.abs(decoded - ours)
            means.append(error.mean())
            largest.append(int(error.max()))
            h, w = (ours.shape[0] // 4) * 4, (ours.shape[1] // 4) * 4
            if h and w:
                shrink = lambda a: a[:h, :w].reshape(h // 4, 4, w // 4, 4, 3).mean(axis=(1, 3))
                blocks.append(np.abs(shrink(decoded) - shrink(ours)).mean())
            else:
                blocks.append(error.mean())
    print(image.n_frames)
    print(loop)
    print(" ".join(str(d) for d in delays))
    print(" ".join("%.3f" % m for m in means))
    print(" ".join(str(m) for m in largest))
    print(" ".join("%.3f" % m for m in blocks))


if __name__ == "__main__":
    command, arguments = sys.argv[1], sys.argv[2:]
    {"rgb": rgb, "read": read}[command](*arguments)
