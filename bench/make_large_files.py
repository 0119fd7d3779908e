"""Writes the large DICOM files of bench/large_files.sh.

  make_large_files.py frames FILE [FRAMES] [SIZE]
      FRAMES frames (default 600) of SIZE x SIZE (default 512) 16-bit CT-like pixels, 12 bits
      stored, Explicit VR Little Endian, window 40/400, rescale intercept -1024.
  make_large_files.py j2k-raw FILE.pgm [SIZE]
      one SIZE x SIZE (default 4096) 16-bit picture as a 16-bit PGM, for opj_compress.
  make_large_files.py j2k-dicom CODESTREAM FILE [SIZE]
      the code stream as the one fragment of a JPEG 2000 Lossless file."""
import sys

import numpy as np
from pydicom.dataset import FileDataset, FileMetaDataset
from pydicom.encaps import encapsulate
from pydicom.uid import ExplicitVRLittleEndian, JPEG2000Lossless, generate_uid


def picture(size, seed=1):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32) / size
    body = ((x - 0.5) / 0.4) ** 2 + ((y - 0.5) / 0.32) ** 2 <= 1
    bone = ((x - 0.5) / 0.08) ** 2 + ((y - 0.68) / 0.06) ** 2 <= 1
    hu = np.full((size, size), -1000.0, dtype=np.float32)
    hu[body] = 40.0
    hu[bone] = 900.0
    hu += rng.normal(0.0, 15.0, hu.shape).astype(np.float32)
    return np.clip(hu + 1024.0, 0, 4095).astype("<u2")


def dataset(path, syntax, size, frames):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = syntax
    ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SOPClassUID = meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = "CT"
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows = ds.Columns = size
    if frames > 1:
        ds.NumberOfFrames = frames
    ds.BitsAllocated = 16
    ds.BitsStored = 12
    ds.HighBit = 11
    ds.PixelRepresentation = 0
    ds.WindowCenter = 40
    ds.WindowWidth = 400
    ds.RescaleIntercept = -1024
    ds.RescaleSlope = 1
    return ds


def write_frames(path, frames=600, size=512):
    base = picture(size)
    ds = dataset(path, ExplicitVRLittleEndian, size, frames)
    # Each frame shifted, so no two are alike; written as one value.
    ds.PixelData = b"".join(np.roll(base, f, axis=1).tobytes() for f in range(frames))
    ds.save_as(path, write_like_original=False)


def write_pgm(path, size=4096):
    with open(path, "wb") as out:
        out.write(b"P5\n%d %d\n65535\n" % (size, size))
        out.write(picture(size).astype(">u2").tobytes())


def write_j2k_dicom(codestream, path, size=4096):
    ds = dataset(path, JPEG2000Lossless, size, 1)
    with open(codestream, "rb") as f:
        ds.PixelData = encapsulate([f.read()])
    ds["PixelData"].is_undefined_length = True
    ds["PixelData"].VR = "OB"
    ds.save_as(path, write_like_original=False)


if __name__ == "__main__":
    kind, args = sys.argv[1], sys.argv[2:]
    if kind == "frames":
        write_frames(args[0], *(int(a) for a in args[1:]))
    elif kind == "j2k-raw":
        write_pgm(args[0], *(int(a) for a in args[1:]))
    elif kind == "j2k-dicom":
        write_j2k_dicom(args[0], args[1], *(int(a) for a in args[2:]))
    else:
        sys.exit(__doc__)
