#!/usr/bin/env bash
# Describing a large file: `glintwise-convert --info` of one 600-frame 512 x 512 16-bit
# DICOM file (300 MB), beside DCMTK's `dcmdump +M` (long values not loaded) and beside our
# own conversion of its first frame, which reads the whole pixel data. Prints the best wall
# time of three runs and the peak resident memory (GNU time) of each.
#
# usage: bench/info.sh [BUILD_DIR]      (BENCH_FRAMES overrides the 600 frames)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${1:-build}
tool=$(cd "$build" && pwd)/cli/glintwise-convert
frames=${BENCH_FRAMES:-600}
[ -x "$tool" ] || { echo "info: $tool not built" >&2; exit 1; }
bench_workdir

/usr/bin/python3 - "$work/movie.dcm" "$frames" <<'PY'
import sys
import numpy as np
from pydicom.dataset import FileDataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
path, frames = sys.argv[1], int(sys.argv[2])
meta = FileMetaDataset()
meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.12.1"
meta.MediaStorageSOPInstanceUID = generate_uid()
meta.TransferSyntaxUID = ExplicitVRLittleEndian
ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
ds.is_little_endian, ds.is_implicit_VR = True, False
ds.Rows = ds.Columns = 512
ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
ds.NumberOfFrames = frames
ds.WindowCenter, ds.WindowWidth = 2048, 4096
ds.PixelData = (np.arange(512 * 512 * frames, dtype="<u2") % 4096).tobytes()
ds.save_as(path, write_like_original=False)
PY

# measure NAME COMMAND...: best wall seconds of three runs and the peak memory of the last.
measure() {
  local name=$1 best="" t mem
  shift
  for _ in 1 2 3; do
    /usr/bin/time -o "$work/time.txt" -f '%e %M' "$@" > /dev/null 2>&1 || true
    t=$(tail -1 "$work/time.txt")
    best=$(awk -v b="$best" -v t="$t" 'BEGIN { split(t, a, " "); if (b == "" || a[1] < b) print a[1]; else print b }')
    mem=$(awk -v t="$t" 'BEGIN { split(t, a, " "); printf "%.0f", a[2] / 1024 }')
  done
  printf '%-40s %8s s %8s MiB\n' "$name" "$best" "$mem"
}

size=$(du -m "$work/movie.dcm" | cut -f1)
echo "one file, $frames frames of 512 x 512, $size MB"
measure "ours --info" "$tool" --info "$work/movie.dcm"
measure "dcmdump +M (DCMTK)" dcmdump +M "$work/movie.dcm"
measure "ours, frame 0 to BMP (reads every frame)" "$tool" -f bmp -o "$work/out" "$work/movie.dcm"
