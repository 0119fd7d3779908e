"""Inputs and checks for the converter's movie tests, run by Debian's python3 (pydicom,
numpy, Pillow) with ffmpeg/ffprobe as the independent movie decoder and Pillow as the GIF one.

  cine OUT FRAMES ROWS COLS [KEYWORD=VALUE ...]   a 16-bit grey loop, each frame brighter
  colour OUT FRAMES                               a YBR_FULL JPEG baseline loop of pydicom's file
  series FOLDER COUNT [ROWS COLS [ODD [BROKEN]]]  single-frame CT files under shuffled names;
                                                  instance ODD two rows taller, instance BROKEN
                                                  RLE data that cannot be decoded
  psnr MOVIE FOLDER grey|rgb                      lowest PSNR of the movie's frames against the
                                                  folder's PNG frames (name order), in dB
  means MOVIE                                     each decoded frame's mean grey level
  rgb OUT FRAMES ROWS COLS few|one|many         an uncompressed RGB loop: 200 colours a frame,
                                                  one colour, or a moving gradient of thousands
  read GIF FOLDER [FIRST]                         the GIF's frames against the folder's PNG
                                                  frames (name order, from the FIRST one), one
                                                  line each: frame count, loop count, delays in
                                                  hundredths, each frame's mean absolute error,
                                                  largest error, and mean error of 4 x 4 block
                                                  means (what the eye sees of a dithered area)
"""
import os
import random
import subprocess
import sys

import warnings

import numpy as np
import pydicom
from PIL import Image
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.encaps import encapsulate
from pydicom.uid import ExplicitVRLittleEndian, JPEGBaseline8Bit, generate_uid

warnings.simplefilter("ignore")  # damaged values are the point of some files


def data_set(sop_class, syntax):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = syntax
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    return ds


def attribute(ds, text):
    keyword, value = text.split("=", 1)
    if keyword == "FrameTimeVector":
        setattr(ds, keyword, value.split("\\"))
    else:
        setattr(ds, keyword, value)


def cine(out, frames, rows, cols, *attributes):
    ds = data_set("1.2.840.10008.5.1.4.1.1.12.1", ExplicitVRLittleEndian)  # X-Ray Angiographic
    ds.Rows, ds.Columns = int(rows), int(cols)
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
    ds.NumberOfFrames = int(frames)
    y, x = np.mgrid[0 : int(rows), 0 : int(cols)]
    # A disc moving across a gradient; the later frames brighter, so that a stretch per frame
    # (instead of one over the loop) would show.
    stack = []
    for f in range(int(frames)):
        cx = (f * 5) % int(cols)
        disc = ((x - cx) ** 2 + (y - int(rows) // 2) ** 2) < (min(int(rows), int(cols)) // 4) ** 2
        stack.append(x * 1000 // int(cols) + y * 600 // int(rows) + disc * 1200 + f * 30)
    ds.PixelData = np.stack(stack).astype("<u2").tobytes()
    for a in attributes:
        attribute(ds, a)
    ds.save_as(out, write_like_original=False)


def colour(out, frames):
    source = os.path.join(os.path.dirname(pydicom.__file__), "data", "test_files", "SC_rgb_jpeg_dcmtk.dcm")
    original = pydicom.dcmread(source)
    fragment = next(pydicom.encaps.generate_pixel_data_frame(original.PixelData))
    ds = data_set(original.SOPClassUID, JPEGBaseline8Bit)
    for keyword in ("Rows", "Columns", "SamplesPerPixel", "PhotometricInterpretation", "BitsAllocated",
                    "BitsStored", "HighBit", "PixelRepresentation", "PlanarConfiguration"):
        setattr(ds, keyword, getattr(original, keyword))
    ds.NumberOfFrames = int(frames)
    ds.PixelData = encapsulate([fragment] * int(frames))
    ds["PixelData"].is_undefined_length = True
    ds["PixelData"].VR = "OB"
    ds.save_as(out, write_like_original=False)


def series(folder, count, rows=40, cols=30, odd=0, broken=0):
    os.makedirs(folder, exist_ok=True)
    uid = generate_uid()
    names = ["IM%04d" % i for i in range(int(count))]
    random.Random(7).shuffle(names)
    for instance in range(1, int(count) + 1):
        syntax = pydicom.uid.RLELossless if instance == int(broken) else ExplicitVRLittleEndian
        ds = data_set("1.2.840.10008.5.1.4.1.1.2", syntax)  # CT
        ds.SeriesInstanceUID = uid
        ds.SeriesNumber = "3"
        ds.SeriesDescription = "Chest/abdomen: arterial"
        ds.InstanceNumber = str(instance)
        ds.Rows, ds.Columns = int(rows) + (2 if instance == int(odd) else 0), int(cols)
        ds.SamplesPerPixel = 1
        ds.PhotometricInterpretation = "MONOCHROME2"
        ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
        ds.WindowCenter, ds.WindowWidth = "2048", "4096"
        # Instance n is uniformly n * 4096 / (count + 1): the movie's order shows in its means.
        level = instance * 4096 // (int(count) + 1)
        ds.PixelData = np.full((ds.Rows, ds.Columns), level, "<u2").tobytes()
        if syntax != ExplicitVRLittleEndian:
            ds.PixelData = encapsulate([b"\x01\0\0\0" + b"\0" * 60])  # one segment past the data's end
            ds["PixelData"].is_undefined_length = True
            ds["PixelData"].VR = "OB"
        ds.save_as(os.path.join(folder, names[instance - 1]), write_like_original=False)


def decode(movie, pixel_format):
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=width,height", "-of", "csv=p=0", movie], check=True,
                           capture_output=True, text=True).stdout.strip().split(",")
    width, height = int(probe[0]), int(probe[1])
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", movie, "-f", "rawvideo", "-pix_fmt", pixel_format, "-"],
                         check=True, capture_output=True).stdout
    channels = 1 if pixel_format == "gray" else 3
    return np.frombuffer(raw, np.uint8).reshape(-1, height, width, channels).astype(np.float64)


def psnr(movie, folder, kind):
    frames = decode(movie, "gray" if kind == "grey" else "rgb24")
    names = sorted(n for n in os.listdir(folder) if n.endswith(".png"))
    if len(names) != len(frames):
        sys.exit("%d frames in the movie, %d PNG files" % (len(frames), len(names)))
    lowest = 1000.0
    for frame, name in zip(frames, names):
        picture = np.asarray(Image.open(os.path.join(folder, name)).convert("L" if kind == "grey" else "RGB"),
                             np.float64)
        if picture.ndim == 2:
            picture = picture[:, :, None]
        decoded = frame[: picture.shape[0], : picture.shape[1], :]
        mse = np.mean((decoded - picture) ** 2)
        lowest = min(lowest, 100.0 if mse == 0 else 10 * np.log10(255.0 ** 2 / mse))
    print("%.2f" % lowest)


def means(movie):
    print(" ".join("%.1f" % f.mean() for f in decode(movie, "gray")))


def rgb(out, frames, rows, cols, kind):
    frames, rows, cols = int(frames), int(rows), int(cols)
    ds = data_set("1.2.840.10008.5.1.4.1.1.7", ExplicitVRLittleEndian)  # secondary capture
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
    {"cine": cine, "colour": colour, "series": series, "psnr": psnr, "means": means, "rgb": rgb, "read": read}[command](
        *arguments
    )
