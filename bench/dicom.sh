#!/usr/bin/env bash
# DICOM reading beside DCMTK's dcm2pnm, on generated 16-bit Explicit VR Little Endian files
# of 512 x 512 and 4096 x 4096 pixels with a window (40/400) and a rescale intercept, and a
# 4096 x 4096 one without a window, which both sides stretch from minimum to maximum.
#
#   bench/dicom.sh BUILD_DIR          (REPEAT=N for best of N runs, default 5)
#
# Both sides are measured as whole runs of a program (start-up, reading, converting with the
# file's window) by dicom_bench --measure, which runs each in a child and reads its resource
# use: best wall time, best CPU time (user + system; steadier than wall time on a busy
# machine) and peak resident memory. dcm2pnm writes its 8-bit PGM to /dev/null. "in-proc" is
# our read and conversion alone, timed inside the program.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init dicom_bench 5 "$@"
have_dcmtk=0
command -v dcm2pnm > /dev/null && have_dcmtk=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

field() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
mib() { awk -v kb="$1" 'BEGIN { printf "%.1f", kb / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.1fx", a / b; else print "-" }'; }

echo "DICOM read + grey conversion, best of $repeat runs; times in ms, memory in MiB"
echo "(m-m: no window in the file, min-max stretch)"
printf '%-14s %5s | %-42s | %-26s | %-13s\n' "" "" "Glintwise" "dcm2pnm +Wi 1 (m-m: +Wm)" "speed-up"
printf '%-14s %5s | %8s %8s %8s %7s %6s | %8s %8s %7s | %6s %6s\n' \
  "picture" "raw" "in-proc" "wall" "cpu" "peak" "/raw" "wall" "cpu" "peak" "wall" "cpu"
for picture in 512 4096 4096-stretch; do
  size=${picture%-stretch}
  file=$work/ct_$picture.dcm
  window=(+Wi 1)
  label=${size}x$size
  if [[ $picture == *-stretch ]]; then
    label="$label m-m"
    "$bench" --write "$file" "$size" nowindow
    window=(+Wm)
  else
    "$bench" --write "$file" "$size"
  fi
  "$bench" --read "$file" "$repeat" > "$work/inproc"
  "$bench" --measure "$repeat" "$bench" --read "$file" > "$work/ours"
  raw_kb=$((size * size * 2 / 1024))
  ours_peak=$(field peak_kb "$work/ours")
  theirs_wall="-" theirs_cpu="-" theirs_peak="-"
  if ((have_dcmtk)); then
    "$bench" --measure "$repeat" dcm2pnm "${window[@]}" "$file" /dev/null > "$work/theirs"
    theirs_wall=$(field wall_ms "$work/theirs")
    theirs_cpu=$(field cpu_ms "$work/theirs")
    theirs_peak=$(mib "$(field peak_kb "$work/theirs")")
  fi
  printf '%-14s %5s | %8s %8s %8s %7s %6s | %8s %8s %7s | %6s %6s\n' "$label" "$(mib $raw_kb)" \
    "$(field read_ms "$work/inproc")" "$(field wall_ms "$work/ours")" "$(field cpu_ms "$work/ours")" \
    "$(mib "$ours_peak")" "$(awk -v a="$ours_peak" -v b="$raw_kb" 'BEGIN { printf "%.2f", a / b }')" \
    "$theirs_wall" "$theirs_cpu" "$theirs_peak" \
    "$(ratio "$theirs_wall" "$(field wall_ms "$work/ours")")" "$(ratio "$theirs_cpu" "$(field cpu_ms "$work/ours")")"
done
((have_dcmtk)) || echo "(dcm2pnm not installed: scripts/install-deps.sh installs dcmtk)"
