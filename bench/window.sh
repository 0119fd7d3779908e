#!/usr/bin/env bash
# Opening a large picture in the window: a 4096 x 4096 16-bit CT-like file made here, from the
# path to the fitted preview (median of five opens, offscreen), beside DCMTK's dcm2pnm
# rendering the same file to an 8-bit PGM (a converter, not a viewer: it fits nothing) and
# beside the aim of 0.3 s.
#
# usage: bench/window.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
bench_init window_open_bench 3 "$@"
bench_workdir

/usr/bin/python3 - "$work/large.dcm" <<'PY'
import sys
import numpy as np
from pydicom.dataset import FileDataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
path = sys.argv[1]
meta = FileMetaDataset()
meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
meta.MediaStorageSOPInstanceUID = generate_uid()
meta.TransferSyntaxUID = ExplicitVRLittleEndian
ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
ds.is_little_endian, ds.is_implicit_VR = True, False
ds.Rows = ds.Columns = 4096
ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
ds.RescaleSlope, ds.RescaleIntercept = 1, -1024
ds.WindowCenter, ds.WindowWidth = 40, 400
y, x = np.mgrid[0:4096, 0:4096]
ds.PixelData = ((x * 3 + y * 5) % 4096).astype("<u2").tobytes()
ds.save_as(path, write_like_original=False)
PY

"$bench" "$work/large.dcm" 5 > "$work/ours.txt"
peer=$(best_us dcm2pnm +Wi 1 +op "$work/large.dcm" "$work/peer.pgm")
printf '%-52s %8s ms\n' "ours: open 4096 x 4096 16-bit to the fitted preview" "$(ours open_ms)"
printf '%-52s %8s ms (CPU)\n' "dcm2pnm +Wi 1 +op (DCMTK) to 8-bit PGM" "$((peer / 1000))"
printf '%-52s %8s ms\n' "aim" 300
