#!/usr/bin/env bash
# Animated GIF of a 100-frame 256 x 256 colour loop: glintwise-convert -f gif (with and
# without --dither) beside ImageMagick's `convert` making the GIF from our own --all-frames
# PNG frames (its default quantiser and dither, then without dither). Prints wall and CPU
# seconds and peak resident memory of the best of BENCH_RUNS runs, and each GIF's mean
# absolute error against the PNG frames (levels of 255, over all frames, read by Pillow).
#
# usage: bench/gif_loop.sh [BUILD_DIR]      (BENCH_FRAMES, BENCH_SIZE, BENCH_RUNS override)
set -euo pipefail

build=${1:-build}
tool=$(cd "$build" && pwd)/cli/glintwise-convert
frames=${BENCH_FRAMES:-100}
size=${BENCH_SIZE:-256}
runs=${BENCH_RUNS:-1}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3; [ -x "$python" ] || python=python3

[ -x "$tool" ] || { echo "gif_loop: $tool not built" >&2; exit 1; }
for program in convert /usr/bin/time; do
    command -v "$program" >/dev/null || { echo "gif_loop: $program is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/glintwise-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$python" "$here/make_colour_loop.py" "$work/loop.dcm" "$frames" "$size"
"$tool" --all-frames -o "$work/png" "$work/loop.dcm" >/dev/null 2>&1

timed() {  # "WALL CPU PEAK_KB" of one run
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >/dev/null 2>&1 || { echo "n/a n/a n/a"; return; }
    awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$work/time"
}

best() {  # the run with the least wall time of $runs
    local result=""
    for _ in $(seq "$runs"); do
        local t
        t=$(timed "$@")
        result=$(awk -v a="$result" -v b="$t" 'BEGIN { split(a, x, " "); split(b, y, " ");
            print (a == "" || y[1] < x[1]) ? b : a }')
    done
    echo "$result"
}

error() {  # mean absolute error of a GIF's frames against the PNG frames
    "$python" - "$1" "$work/png" <<'PY'
import os, sys
import numpy as np
from PIL import Image
gif, folder = sys.argv[1], sys.argv[2]
names = sorted(n for n in os.listdir(folder) if n.endswith(".png"))
image, total = Image.open(gif), 0.0
if image.n_frames != len(names):
    sys.exit("%d frames, %d PNGs" % (image.n_frames, len(names)))
for index, name in enumerate(names):
    image.seek(index)
    ours = np.asarray(Image.open(os.path.join(folder, name)).convert("RGB"), np.int32)
    total += np.abs(np.asarray(image.convert("RGB"), np.int32) - ours).mean()
print("%.2f" % (total / len(names)))
PY
}

printf 'GIF of a %s-frame %s x %s colour loop, %s cores; seconds wall, CPU seconds, peak KB, mean error\n' \
    "$frames" "$size" "$size" "$(nproc)"
row() {  # name, times, gif
    printf '%-26s %-22s %s\n' "$1" "$2" "$(error "$3")"
}
ours=$(best "$tool" -f gif -o "$work/ours" "$work/loop.dcm")
row "ours" "$ours" "$work/ours/loop.gif"
oursDither=$(best "$tool" --dither -f gif -o "$work/dither" "$work/loop.dcm")
row "ours --dither" "$oursDither" "$work/dither/loop.gif"
magick=$(best convert -delay 5 -loop 0 "$work/png/*.png" "$work/magick.gif")
row "convert (its dither)" "$magick" "$work/magick.gif"
plain=$(best convert -delay 5 -loop 0 "$work/png/*.png" +dither "$work/plain.gif")
row "convert +dither" "$plain" "$work/plain.gif"
awk -v o="$ours" -v d="$oursDither" -v m="$magick" -v p="$plain" 'BEGIN { split(o, a, " "); split(d, b, " ");
    split(m, c, " "); split(p, e, " ");
    if (a[1] > 0 && b[1] > 0) printf "ours %.1fx faster than convert +dither; ours --dither %.1fx faster than convert\n",
        e[1] / a[1], c[1] / b[1] }'
