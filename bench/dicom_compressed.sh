#!/usr/bin/env bash
# Compressed DICOM folders: the 200-file CT series (512 x 512, 12 bits stored) re-encoded to
# JPEG lossless SV1 (DCMTK's dcmcjpeg +e1), RLE (dcmcrle), JPEG-LS lossless (dcmcjpls) and
# JPEG 2000 lossless (GDCM's gdcmconv --j2k), then converted to PNG by glintwise-convert (-j 1
# and -j 2), by a shell loop of DCMTK's dcmj2pnm (JPEG lossless, RLE), dcml2pnm (JPEG-LS) or
# gdcmconv --raw + dcm2pnm (JPEG 2000, which Debian's DCMTK cannot read), and by pydicom with
# GDCM in one process (decode, window, Pillow PNG). Prints files per second (CPU ms per file),
# best of three runs each.
#
# usage: bench/dicom_compressed.sh [BUILD_DIR]      (BENCH_FILES, BENCH_RUNS, BENCH_TMP override)
set -euo pipefail

build=${1:-build}
tool=$(cd "$build" && pwd)/cli/glintwise-convert
files=${BENCH_FILES:-200}
runs=${BENCH_RUNS:-3}
tmp_base=${BENCH_TMP:-$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3; [ -x "$python" ] || python=python3

[ -x "$tool" ] || { echo "dicom_compressed: $tool not built" >&2; exit 1; }
for t in dcmcjpeg dcmcrle dcmcjpls gdcmconv; do
    command -v "$t" >/dev/null || { echo "dicom_compressed: $t absent" >&2; exit 1; }
done

work=$(mktemp -d "$tmp_base/glintwise-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/native" "$work/jll" "$work/rle" "$work/jls" "$work/j2k"
"$python" "$here/make_ct_series.py" "$work/native" "$files"
for f in "$work"/native/*.dcm; do
    dcmcjpeg +e1 "$f" "$work/jll/$(basename "$f")"
    dcmcrle "$f" "$work/rle/$(basename "$f")"
    dcmcjpls +el "$f" "$work/jls/$(basename "$f")"
    gdcmconv --j2k "$f" "$work/j2k/$(basename "$f")"
done

now() { date +%s.%N; }

# measure COMMAND...: as in cli_convert.sh, the fastest of $runs runs in a fresh $work/out, as
# "FILES_PER_SECOND CPU_MS_PER_FILE"; "n/a n/a" when fewer files than given were written.
measure() {
    local best="0 0" times rate cpu
    for _ in $(seq "$runs"); do
        rm -rf "$work/out" && mkdir -p "$work/out"
        times=$( { TIMEFORMAT='%3R %3U %3S'; time (cd "$work/out" && "$@" </dev/null >/dev/null 2>&1 || true); } 2>&1 )
        rate=$(awk -v n="$files" -v t="$times" 'BEGIN { split(t, a, " "); printf "%.1f", n / a[1] }')
        cpu=$(awk -v n="$files" -v t="$times" 'BEGIN { split(t, a, " "); printf "%.1f", (a[2] + a[3]) * 1000 / n }')
        best=$(awk -v b="$best" -v r="$rate" -v c="$cpu" 'BEGIN { split(b, a, " "); print (r > a[1]) ? r " " c : b }')
    done
    local written
    written=$(find "$work/out" -maxdepth 1 -name '*.png' | wc -l)
    if [ "$written" -lt "$files" ]; then echo "n/a n/a"; else echo "$best"; fi
}

# dcmj2pnm_loop FOLDER: DCMTK's reader with its JPEG and RLE decoders.
dcmj2pnm_loop() {
    for f in "$1"/*.dcm; do dcmj2pnm --use-window 1 +on "$f" "$(basename "$f" .dcm).png" || return 1; done
}
dcml2pnm_loop() {
    for f in "$work"/jls/*.dcm; do dcml2pnm --use-window 1 +on "$f" "$(basename "$f" .dcm).png" || return 1; done
}
gdcm_dcm2pnm_loop() {
    for f in "$work"/j2k/*.dcm; do
        gdcmconv --raw "$f" raw.tmp && dcm2pnm --use-window 1 +on raw.tmp "$(basename "$f" .dcm).png" || return 1
    done
    rm -f raw.tmp
}
# pydicom decoding with GDCM, the file's first window and Pillow's PNG writer, one process.
pydicom_gdcm() {
    "$python" - "$1" <<'PY'
import glob, os, sys
import numpy as np
import pydicom
from PIL import Image
from pydicom.pixel_data_handlers import gdcm_handler
pydicom.config.pixel_data_handlers = [gdcm_handler]
for path in sorted(glob.glob(os.path.join(sys.argv[1], '*.dcm'))):
    ds = pydicom.dcmread(path)
    hu = ds.pixel_array.astype(np.float32) * float(ds.RescaleSlope) + float(ds.RescaleIntercept)
    c, w = float(ds.WindowCenter), float(ds.WindowWidth)
    grey = np.clip((hu - (c - w / 2)) * (255 / w), 0, 255).astype(np.uint8)
    Image.fromarray(grey).save(os.path.basename(path)[:-4] + '.png')
PY
}

printf '%s files, %s, best of %s runs, %s cores\n' "$files" "512 x 512 x 16 bit CT to PNG" "$runs" "$(nproc)"
printf 'files per second (CPU ms per file)\n'
printf '%-10s %18s %18s %24s %20s\n' source "ours -j 1" "ours -j 2" "peer loop" "pydicom + GDCM"
cell() { set -- $1; printf '%s (%s)' "$1" "$2"; }
for kind in jll rle jls j2k; do
    j1=$(cell "$(measure "$tool" -j 1 -f png -o . "$work/$kind")")
    j2=$(cell "$(measure "$tool" -j 2 -f png -o . "$work/$kind")")
    case $kind in
        jll | rle) loop="$(cell "$(measure dcmj2pnm_loop "$work/$kind")") dcmj2pnm" ;;
        jls) loop="$(cell "$(measure dcml2pnm_loop)") dcml2pnm" ;;
        j2k) loop="$(cell "$(measure gdcm_dcm2pnm_loop)") gdcm+dcm2pnm" ;;
    esac
    py=$(cell "$(measure pydicom_gdcm "$work/$kind")")
    case $kind in jll) name="JPEG SV1" ;; rle) name=RLE ;; jls) name=JPEG-LS ;; j2k) name=JPEG2000 ;; esac
    printf '%-10s %18s %18s %24s %20s\n' "$name" "$j1" "$j2" "$loop" "$py"
done
