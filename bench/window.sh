#!/usr/bin/env bash
# The window's figures, offscreen, on CT-like files made here:
# - opening a 4096 x 4096 16-bit file, from the path to the fitted preview (median of five
#   opens), beside DCMTK's dcm2pnm rendering the same file to an 8-bit PGM (a converter, not a
#   viewer: it fits nothing) and beside the aim of 0.3 s;
# - dragging the window level with the right button over a 512 x 512 16-bit picture: redraws
#   a second over 200 moves, beside the aim of 20.
#
# usage: bench/window.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
bench_init window_open_bench 3 "$@"
bench_workdir

cat > "$work/make.py" <<'PY'
import sys
import numpy as np
from pydicom.dataset import FileDataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
path, side = sys.argv[1], int(sys.argv[2])
meta = FileMetaDataset()
meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
meta.MediaStorageSOPInstanceUID = generate_uid()
meta.TransferSyntaxUID = ExplicitVRLittleEndian
ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
ds.is_little_endian, ds.is_implicit_VR = True, False
ds.Rows = ds.Columns = side
ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
ds.RescaleSlope, ds.RescaleIntercept = 1, -1024
ds.WindowCenter, ds.WindowWidth = 40, 400
y, x = np.mgrid[0:side, 0:side]
ds.PixelData = ((x * 3 + y * 5) % 4096).astype("<u2").tobytes()
ds.save_as(path, write_like_original=False)
PY

/usr/bin/python3 "$work/make.py" "$work/large.dcm" 4096
/usr/bin/python3 "$work/make.py" "$work/ct512.dcm" 512

"$bench" "$work/large.dcm" 5 > "$work/ours.txt"
"$bench" "$work/ct512.dcm" --drag 200 >> "$work/ours.txt"
peer=$(best_us dcm2pnm +Wi 1 +op "$work/large.dcm" "$work/peer.pgm")
printf '%-52s %8s ms\n' "ours: open 4096 x 4096 16-bit to the fitted preview" "$(ours open_ms)"
printf '%-52s %8s ms (CPU)\n' "dcm2pnm +Wi 1 +op (DCMTK) to 8-bit PGM" "$((peer / 1000))"
printf '%-52s %8s ms\n' "aim" 300
printf '%-52s %8s /s\n' "ours: right-drag redraws, 512 x 512 16-bit" "$(ours drag_redraws_per_s)"
printf '%-52s %8s /s\n' "aim" 20
