#!/usr/bin/env bash
# JPEG 2000 family beside the OpenJPEG tools and netpbm, on the same generated 4096 x 4096
# 24-bit picture: JP2 at our default quality (rate 0.9, i.e. opj_compress -r 1.111, one
# layer, lossless 5/3 wavelet, six resolutions), PPM and Sun raster.
#
#   bench/jas.sh BUILD_DIR          (REPEAT=N for best of N runs, default 3)
#
# Our figures come from codecs_jas_bench (in-process, memory streams). The peers are whole
# runs of programs that read one file and write another, so each is set beside the sum of our
# two matching steps:
#   opj_compress   PPM -> JP2     ours: PNM decode + JP2 encode
#   opj_decompress JP2 -> PPM     ours: JP2 decode + PNM encode
#   ppmtoppm       PPM -> PPM     ours: PNM decode + PNM encode
#   pnmtorast      PPM -> RAS     ours: PNM decode + Sun raster encode
#   rasttopnm      RAS -> PPM     ours: Sun raster decode + PNM encode
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init codecs_jas_bench 3 "$@"

bench_workdir

"$bench" --repeat "$repeat" --write-jp2 "$work/ours.jp2" --write-ppm "$work/ours.ppm" \
  --write-ras "$work/ours.ras" > "$work/ours.txt"
sum() { awk -v a="$(ours "$1")" -v b="$(ours "$2")" 'BEGIN { printf "%.1f", a + b }'; }

# Best CPU time of $repeat runs of a command, in milliseconds.
best_ms() {
  local us
  us=$(best_us "$@") || return 1
  awk -v u="$us" 'BEGIN { printf "%.1f", u / 1000 }'
}

declare -A theirs
if command -v opj_compress > /dev/null; then
  theirs[jp2_encode]=$(best_ms opj_compress -i "$work/ours.ppm" -o "$work/opj.jp2" -r 1.111)
  theirs[jp2_decode]=$(best_ms opj_decompress -i "$work/ours.jp2" -o "$work/opj.ppm")
  theirs[jp2_bytes]=$(stat -c %s "$work/opj.jp2")
fi
if command -v pnmtorast > /dev/null; then
  theirs[pnm]=$(best_ms sh -c "ppmtoppm < '$work/ours.ppm' > '$work/np.ppm'")
  theirs[ras_encode]=$(best_ms sh -c "pnmtorast -standard '$work/ours.ppm' > '$work/np.ras'")
  theirs[ras_decode]=$(best_ms sh -c "rasttopnm '$work/ours.ras' > '$work/np2.ppm'")
fi

echo "JPEG 2000 family, 4096 x 4096 24-bit picture, best of $repeat runs (CPU milliseconds, user + system; ratio = ours / peer)"
printf '%-44s %10s %10s %7s\n' "operation (peer)" "Glintwise" "peer" "ratio"
row() {
  local label=$1 mine=$2 peer=${3:-n/a}
  printf '%-44s %10s %10s %7s\n' "$label" "$mine" "$peer" "$(ratio "$mine" "$peer")"
}
row "PPM -> JP2 (opj_compress -r 1.111)" "$(sum pnm_decode jp2_encode)" "${theirs[jp2_encode]:-}"
row "JP2 -> PPM (opj_decompress)" "$(sum jp2_decode pnm_encode)" "${theirs[jp2_decode]:-}"
row "PPM -> PPM (ppmtoppm)" "$(sum pnm_decode pnm_encode)" "${theirs[pnm]:-}"
row "PPM -> Sun raster (pnmtorast -standard)" "$(sum pnm_decode ras_encode)" "${theirs[ras_encode]:-}"
row "Sun raster -> PPM (rasttopnm)" "$(sum ras_decode pnm_encode)" "${theirs[ras_decode]:-}"
echo "our single steps: $(tr '\n' ' ' < "$work/ours.txt")"
printf 'JP2 size, bytes: ours %s, opj_compress %s\n' "$(ours jp2_bytes)" "${theirs[jp2_bytes]:-n/a}"
echo "(peers: whole runs, start-up included)"
