#!/usr/bin/env bash
# PNG and TIFF encode and decode beside ImageMagick and tiffcp, on the same generated
# 4096 x 4096 24-bit picture: PNG at zlib level 6 with adaptive filtering on both sides
# (libpng's defaults; ImageMagick -quality 65), TIFF with LZW and horizontal prediction.
#
#   bench/png_tiff.sh BUILD_DIR          (REPEAT=N for best of N runs, default 3;
#                                         IM_THREADS=N for ImageMagick's threads, default 1)
#
# Our figures come from codecs_png_tiff_bench (in-process, memory streams). ImageMagick's are
# whole runs minus a baseline, so start-up and reading the input are not counted: decode =
# "file null:" minus an empty start-up; encode starts from ImageMagick's memory-mapped pixel
# cache (.mpc) and subtracts "in.mpc null:". tiffcp runs are whole runs minus a plain copy of
# an uncompressed file (start-up, reading and writing 48 MiB).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init codecs_png_tiff_bench 3 "$@"

bench_workdir

"$bench" --repeat "$repeat" --write-png "$work/ours.png" --write-tif "$work/ours.tif" \
  --write-raw "$work/in.rgb" > "$work/ours.txt"


declare -A theirs tiffcp_ms
im=convert-im6.q16
export MAGICK_THREAD_LIMIT=${IM_THREADS:-1}
if command -v "$im" > /dev/null; then
  "$im" -size 4096x4096 -depth 8 "rgb:$work/in.rgb" "$work/in.mpc"
  startup=$(best_us "$im" -size 1x1 xc:black null:)
  base=$(best_us "$im" "$work/in.mpc" null:)
  theirs[png_encode]=$(minus "$(best_us "$im" "$work/in.mpc" -quality 65 "$work/im.png")" "$base")
  theirs[png_decode]=$(minus "$(best_us "$im" "$work/ours.png" null:)" "$startup")
  theirs[tif_encode]=$(minus "$(best_us "$im" "$work/in.mpc" -compress LZW -define tiff:predictor=2 "$work/im.tif")" "$base")
  theirs[tif_decode]=$(minus "$(best_us "$im" "$work/ours.tif" null:)" "$startup")
  theirs[png_bytes]=$(stat -c %s "$work/im.png")
  theirs[tif_bytes]=$(stat -c %s "$work/im.tif")
fi
if command -v tiffcp > /dev/null && command -v "$im" > /dev/null; then
  # The same strip layout as ours (libtiff's default of about 8 KiB per strip: one row here).
  rows=$(tiffinfo "$work/ours.tif" | awk -F': ' '/Rows\/Strip/ { print $2; exit }')
  "$im" -size 4096x4096 -depth 8 "rgb:$work/in.rgb" -compress none "$work/im-raw.tif"
  tiffcp -c none -r "$rows" "$work/im-raw.tif" "$work/raw.tif"
  copy=$(best_us tiffcp -c none -r "$rows" "$work/raw.tif" "$work/copy.tif")
  tiffcp_ms[tif_encode]=$(minus "$(best_us tiffcp -c lzw:2 -r "$rows" "$work/raw.tif" "$work/tiffcp.tif")" "$copy")
  tiffcp_ms[tif_decode]=$(minus "$(best_us tiffcp -c none -r "$rows" "$work/ours.tif" "$work/plain.tif")" "$copy")
  tiffcp_ms[tif_bytes]=$(stat -c %s "$work/tiffcp.tif")
fi

echo "PNG and TIFF, 4096 x 4096 24-bit picture, best of $repeat runs (CPU milliseconds, user + system; ratio = ours / peer)"
printf '%-34s %10s %12s %7s %10s %7s\n' "operation" "Glintwise" "ImageMagick" "ratio" "tiffcp" "ratio"
row() {
  local key=$1 label=$2 im_value=${theirs[$1]:-n/a} cp_value=${tiffcp_ms[$1]:-n/a}
  local cp_ratio="-"
  [[ $cp_value != n/a ]] && cp_ratio=$(ratio "$(ours "$key")" "$cp_value")
  [[ $cp_value == n/a ]] && cp_value=""
  printf '%-34s %10s %12s %7s %10s %7s\n' "$label" "$(ours "$key")" "$im_value" \
    "$(ratio "$(ours "$key")" "$im_value")" "$cp_value" "$cp_ratio"
}
row png_encode "PNG encode (zlib 6, adaptive)"
row png_decode "PNG decode"
row tif_encode "TIFF encode (LZW, predictor 2)"
row tif_decode "TIFF decode"
printf '%-34s %10s %12s %7s %10s\n' "file size, bytes: PNG" "$(ours png_bytes)" "${theirs[png_bytes]:-n/a}" "" ""
printf '%-34s %10s %12s %7s %10s\n' "file size, bytes: TIFF" "$(ours tif_bytes)" "${theirs[tif_bytes]:-n/a}" "" "${tiffcp_ms[tif_bytes]:-}"
echo "(ImageMagick: Q16, MAGICK_THREAD_LIMIT=$MAGICK_THREAD_LIMIT, start-up and input reading subtracted;"
echo " tiffcp: whole run minus an uncompressed copy)"
