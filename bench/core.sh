#!/usr/bin/env bash
# Image core timings beside ImageMagick's, on the same generated 4096 x 4096 24-bit picture:
# BMP encode and decode, and resizing to 1024 x 1024 with three filters.
#
#   bench/core.sh BUILD_DIR          (REPEAT=N for best of N runs, default 3;
#                                     IM_THREADS=N for ImageMagick's threads, default 1)
#
# Our figures come from core_bench (in-process, memory streams). ImageMagick's are whole runs
# of convert-im6.q16 minus a baseline run, so start-up and reading the input are not counted:
# decode = "in.bmp null:" minus an empty start-up; encode and resizes start from ImageMagick's
# own memory-mapped pixel cache (.mpc) and subtract "in.mpc null:".
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init core_bench 3 "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench" --repeat "$repeat" --write-bmp "$work/in.bmp" > "$work/ours.txt"
ours() { awk -v k="$1" '$1 == k { print $2 }' "$work/ours.txt"; }

im=convert-im6.q16
have_im=0
command -v "$im" > /dev/null && have_im=1
export MAGICK_THREAD_LIMIT=${IM_THREADS:-1}

# Best wall time of $repeat runs of a command, in milliseconds (one decimal).
best_ms() {
  local best=0 start end us i
  for ((i = 0; i < repeat; i++)); do
    start=$(date +%s%N)
    "$@" > /dev/null 2>&1 || return 1
    end=$(date +%s%N)
    us=$(((end - start) / 1000))
    if ((i == 0 || us < best)); then best=$us; fi
  done
  echo "$best"
}
minus() { awk -v a="$1" -v b="$2" 'BEGIN { d = (a - b) / 1000; if (d < 0) d = 0; printf "%.1f", d }'; }

declare -A theirs
if ((have_im)); then
  startup=$(best_ms "$im" -size 1x1 xc:black null:)
  theirs[bmp_decode]=$(minus "$(best_ms "$im" "$work/in.bmp" null:)" "$startup")
  "$im" "$work/in.bmp" "$work/in.mpc"
  base=$(best_ms "$im" "$work/in.mpc" null:)
  theirs[bmp_encode]=$(minus "$(best_ms "$im" "$work/in.mpc" "$work/out.bmp")" "$base")
  theirs[resize_nearest]=$(minus "$(best_ms "$im" "$work/in.mpc" -filter point -resize '1024x1024!' null:)" "$base")
  theirs[resize_bicubic]=$(minus "$(best_ms "$im" "$work/in.mpc" -filter cubic -resize '1024x1024!' null:)" "$base")
  theirs[resize_area]=$(minus "$(best_ms "$im" "$work/in.mpc" -filter triangle -resize '1024x1024!' null:)" "$base")
fi

echo "Image core, 4096 x 4096 24-bit picture, best of $repeat runs (milliseconds)"
printf '%-52s %12s %14s\n' "operation" "Glintwise" "ImageMagick"
row() {
  local key=$1 label=$2
  printf '%-52s %12s %14s\n' "$label" "$(ours "$key")" "${theirs[$key]:-n/a}"
}
row bmp_encode "BMP encode"
row bmp_decode "BMP decode"
row resize_nearest "to 1024 x 1024: nearest (mode 1 / -filter point)"
row resize_bicubic "to 1024 x 1024: B-spline (mode 2 / -filter cubic)"
row resize_area "to 1024 x 1024: area (mode 0 / -filter triangle)"
if ((!have_im)); then echo "($im not found: install imagemagick-6.q16)"; fi
echo "(ImageMagick: Q16, MAGICK_THREAD_LIMIT=$MAGICK_THREAD_LIMIT, start-up and input reading subtracted)"
