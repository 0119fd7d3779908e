#!/usr/bin/env bash
# Large DICOM files, made by this script in a memory-backed folder:
#   - 600 frames of 512 x 512 16-bit pixels with a window (300 MB, Explicit VR Little Endian):
#     --all-frames to PNG on one and two threads beside DCMTK's dcm2pnm +Fa; the peak memory
#     stays near one frame per thread; --frame 300 alone, counting the bytes read;
#   - one 4096 x 4096 16-bit JPEG 2000 Lossless picture (opj_compress' code stream in one
#     fragment): ours on one and two threads beside GDCM's gdcmconv --raw (which lets
#     OpenJPEG use every core) and opj_decompress -threads 2 on the same code stream.
# Whole runs of each program through dicom_bench --measure: best wall and CPU time of REPEAT
# runs (default 3) and peak resident memory. Wall time is what threads shorten; on a machine
# shared with other work it is also what that work disturbs, so the load average and the cores
# each two-thread run kept busy are printed.
#
#   bench/large_files.sh BUILD_DIR          (REPEAT=N)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init dicom_bench 3 "$@"
bench=$(cd "$(dirname "$bench")" && pwd)/$(basename "$bench")  # the runs start in $work/out
bench_workdir
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool=$(cd "$build" && pwd)/cli/glintwise-convert
python=/usr/bin/python3; [ -x "$python" ] || python=python3
for t in dcm2pnm gdcmconv opj_compress opj_decompress; do
  command -v "$t" > /dev/null || { echo "large_files: $t absent" >&2; exit 1; }
done

"$python" "$here/make_large_files.py" frames "$work/frames.dcm" 600 512
"$python" "$here/make_large_files.py" j2k-raw "$work/big.pgm" 4096
opj_compress -i "$work/big.pgm" -o "$work/big.j2k" > /dev/null
"$python" "$here/make_large_files.py" j2k-dicom "$work/big.j2k" "$work/big.dcm" 4096
rm -f "$work/big.pgm"

# measure NAME CMD...: runs CMD in a fresh $work/out and keeps its figures as NAME_wall,
# NAME_cpu and NAME_peak (MiB).
declare -A fig
measure() {
  local name=$1 out
  shift
  rm -rf "$work/out" && mkdir -p "$work/out"
  out=$(cd "$work/out" && "$bench" --measure "$repeat" "$@")
  fig[${name}_wall]=$(awk '$1 == "wall_ms" { print $2 }' <<< "$out")
  fig[${name}_cpu]=$(awk '$1 == "cpu_ms" { print $2 }' <<< "$out")
  fig[${name}_peak]=$(awk '$1 == "peak_kb" { printf "%.1f", $2 / 1024 }' <<< "$out")
}
row() { printf '%-44s %9s %9s %9s\n' "$1" "${fig[${2}_wall]}" "${fig[${2}_cpu]}" "${fig[${2}_peak]}"; }
# How many cores a run kept busy (CPU time over wall time): below 2 for a two-thread run means
# the machine did not give it both, whatever the program did.
cores() { awk -v c="${fig[${1}_cpu]}" -v w="${fig[${1}_wall]}" 'BEGIN { printf "          (its best run kept %.2f cores busy)\n", c / w }'; }
verdict() { awk -v ok="$1" -v text="$2" 'BEGIN { print (ok ? "  met:    " : "  MISSED: ") text }'; }

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores; best of $repeat runs"
printf '%-44s %9s %9s %9s\n' "" "wall ms" "cpu ms" "peak MiB"

measure ours1 "$tool" -j 1 --all-frames -o . "$work/frames.dcm"
measure ours2 "$tool" -j 2 --all-frames -o . "$work/frames.dcm"
written=$(find "$work/out" -name 'frames_*.png' | wc -l)
measure dcmtk dcm2pnm +Fa +Wi 1 +on "$work/frames.dcm" frame
echo "600 x 512 x 512 x 16 bits, --all-frames to PNG ($written files)"
row "  glintwise-convert -j 1" ours1
row "  glintwise-convert -j 2" ours2
row "  dcm2pnm +Fa +Wi 1 +on" dcmtk
speedup=$(awk -v a="${fig[ours1_wall]}" -v b="${fig[ours2_wall]}" 'BEGIN { printf "%.2f", a / b }')
verdict "$(awk -v p="${fig[ours2_peak]}" 'BEGIN { print (p <= 64) }')" "peak memory ${fig[ours2_peak]} MiB <= 64 MiB"
verdict "$(awk -v s="$speedup" 'BEGIN { print (s >= 1.8) }')" "-j 2 ${speedup}x faster than -j 1 (aim 1.8x)"
cores ours2

bytes=$("$bench" --frame-bytes "$work/frames.dcm" 300)
reader=$(awk '$1 == "reader_bytes" { print $2 }' <<< "$bytes")
process=$(awk '$1 == "process_bytes" { print $2 }' <<< "$bytes")
measure frame300 "$tool" --frame 300 -o frame300.png "$work/frames.dcm"
measure dcmtk300 dcm2pnm +F 301 +Wi 1 +on "$work/frames.dcm" frame300.png
echo "--frame 300 of it: the reader took $reader bytes from the file, the process read $process"
row "  glintwise-convert --frame 300" frame300
row "  dcm2pnm +F 301 +Wi 1 +on" dcmtk300
verdict "$(awk -v b="$process" 'BEGIN { print (b >= 0 && b < 2 * 1024 * 1024) }')" "$process bytes read < 2 MB"

measure j1 "$tool" -j 1 -o big.pgm "$work/big.dcm"
measure j2 "$tool" -j 2 -o big.pgm "$work/big.dcm"
measure gdcm gdcmconv --raw "$work/big.dcm" raw.dcm
measure opj opj_decompress -threads 2 -i "$work/big.j2k" -o big.pgm
echo "4096 x 4096 x 16 bits, JPEG 2000 Lossless, one frame"
row "  glintwise-convert -j 1 (to PGM)" j1
row "  glintwise-convert -j 2 (to PGM)" j2
row "  gdcmconv --raw" gdcm
row "  opj_decompress -threads 2 (to PGM)" opj
verdict "$(awk -v a="${fig[j2_wall]}" -v b="${fig[gdcm_wall]}" 'BEGIN { print (a <= b) }')" "-j 2 at least as fast as gdcmconv --raw"
verdict "$(awk -v a="${fig[j2_wall]}" -v b="${fig[opj_wall]}" 'BEGIN { print (a <= b) }')" "-j 2 at least as fast as opj_decompress -threads 2"
j2k_speedup=$(awk -v a="${fig[j1_wall]}" -v b="${fig[j2_wall]}" 'BEGIN { printf "%.2f", a / b }')
verdict "$(awk -v s="$j2k_speedup" 'BEGIN { print (s >= 1.6) }')" "-j 2 ${j2k_speedup}x our one-thread time (aim 1.6x)"
cores j2
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
