#!/usr/bin/env bash
# Movies: a 200-frame 512 x 512 loop and a 300-file 512 x 512 CT series to MP4 (H.264, CRF 18,
# preset medium, yuv420p, moov at the front) by glintwise-convert, beside
#   (a) DCMTK's `dcm2pnm +Fa +on` (or one dcm2pnm a file for the series) writing PNG frames,
#       then the ffmpeg command line encoding those PNGs with the same settings, and
#   (b) the ffmpeg command line encoding the same frames from raw grey video: the encoder
#       alone, the limit of any converter built on it.
# Prints wall and CPU seconds and peak resident memory (GNU time; for (a) the sum of the times
# and the larger of the peaks) of the best of BENCH_RUNS runs, and our ratios to (a) and (b).
#
# usage: bench/cine.sh [BUILD_DIR]      (BENCH_FRAMES, BENCH_SLICES, BENCH_RUNS override)
set -euo pipefail

build=${1:-build}
tool=$(cd "$build" && pwd)/cli/glintwise-convert
frames=${BENCH_FRAMES:-200}
slices=${BENCH_SLICES:-300}
runs=${BENCH_RUNS:-1}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3; [ -x "$python" ] || python=python3

[ -x "$tool" ] || { echo "cine: $tool not built" >&2; exit 1; }
for program in ffmpeg dcm2pnm /usr/bin/time; do
    command -v "$program" >/dev/null || { echo "cine: $program is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/glintwise-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ct"
"$python" "$here/make_cine_loop.py" "$work/loop.dcm" "$frames"
"$python" "$here/make_ct_series.py" "$work/ct" "$slices"

x264=(-c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p -movflags +faststart)

# timed COMMAND...: "WALL CPU PEAK_KB" of one run.
timed() {
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >/dev/null 2>&1 || { echo "n/a n/a n/a"; return; }
    awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$work/time"
}

# best COMMAND...: the run with the least wall time of $runs.
best() {
    local result=""
    for _ in $(seq "$runs"); do
        local t
        t=$(timed "$@")
        result=$(awk -v a="$result" -v b="$t" 'BEGIN { split(a, x, " "); split(b, y, " ");
            print (a == "" || y[1] < x[1]) ? b : a }')
    done
    echo "$result"
}

sum() {  # two "WALL CPU PEAK" lines: walls and CPUs added, the larger peak
    awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " ");
        printf "%.2f %.2f %d\n", x[1] + y[1], x[2] + y[2], (x[3] > y[3] ? x[3] : y[3]) }'
}

# One dcm2pnm a slice, numbered for ffmpeg's pattern; a script so that GNU time can run it.
cat > "$work/series.sh" <<SCRIPT
i=0
for f in "$work"/ct/*.dcm; do
    dcm2pnm --use-window 1 +on "\$f" "$work/png/\$(printf '%04d' "\$i").png" || exit 1
    i=\$((i + 1))
done
SCRIPT

row() {  # name, ours, (a), (b)
    local name=$1 ours=$2 a=$3 b=$4
    printf '%-8s %-22s %-22s %-22s %s\n' "$name" "$ours" "$a" "$b" "$(awk -v o="$ours" -v a="$a" -v b="$b" 'BEGIN {
        split(o, x, " "); split(a, y, " "); split(b, z, " ");
        if (x[1] <= 0 || y[1] == "n/a" || z[1] == "n/a") { print "-"; exit }
        printf "%.2fx faster than (a), %.2fx (b)'"'"'s time, %.2fx (b)'"'"'s memory", y[1] / x[1], x[1] / z[1], x[3] / z[3] }')"
}

printf 'MP4 (H.264 CRF 18, preset medium), %s cores; seconds wall, CPU seconds, peak KB\n' "$(nproc)"
printf '%-8s %-22s %-22s %-22s %s\n' input ours "(a) dcm2pnm+ffmpeg" "(b) ffmpeg raw" "ratios"

# The loop: every frame of one file.
mkdir -p "$work/png"
ours=$(best "$tool" -f mp4 -o "$work/ours" "$work/loop.dcm")
a1=$(best dcm2pnm --use-window 1 +Fa +on "$work/loop.dcm" "$work/png/f")
a2=$(best ffmpeg -y -v error -framerate 15 -i "$work/png/f.%d.png" "${x264[@]}" "$work/a.mp4")
ffmpeg -y -v error -framerate 15 -i "$work/png/f.%d.png" -f rawvideo -pix_fmt gray "$work/loop.gray"
b=$(best ffmpeg -y -v error -f rawvideo -pix_fmt gray -s 512x512 -framerate 15 -i "$work/loop.gray" "${x264[@]}" "$work/b.mp4")
row "loop" "$ours" "$(sum "$a1" "$a2")" "$b"

# The series: one frame from each file, in Instance Number order (the files' name order here).
rm -rf "$work/png" && mkdir -p "$work/png"
ours=$(best "$tool" --series -f mp4 -o "$work/ours" "$work/ct")
a1=$(best bash "$work/series.sh")
a2=$(best ffmpeg -y -v error -framerate 10 -i "$work/png/%04d.png" "${x264[@]}" "$work/a.mp4")
ffmpeg -y -v error -framerate 10 -i "$work/png/%04d.png" -f rawvideo -pix_fmt gray "$work/ct.gray"
b=$(best ffmpeg -y -v error -f rawvideo -pix_fmt gray -s 512x512 -framerate 10 -i "$work/ct.gray" "${x264[@]}" "$work/b.mp4")
row "series" "$ours" "$(sum "$a1" "$a2")" "$b"
