#!/usr/bin/env bash
# GIF encode and decode beside ImageMagick and Pillow on the same generated 2048 x 2048
# pictures: a 24-bit one (ours: a mosaic of 17 x 15 tiles with local tables, every colour
# exact; the peers reduce it to one 256-colour frame) and an 8-bit grey one (one frame, global
# table, on every side).
#
#   bench/gif.sh BUILD_DIR          (REPEAT=N for best of N runs, default 3;
#                                    IM_THREADS=N for ImageMagick's threads, default 1)
#
# Our figures come from gif_bench (in-process, memory streams). ImageMagick's are whole runs
# minus a baseline: decode = "file null:" minus an empty start-up; encode starts from
# ImageMagick's memory-mapped pixel cache (.mpc) and subtracts "in.mpc null:". Pillow's are
# timed inside Python around save (to memory) and open + load (every frame of a mosaic).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init gif_bench 3 "$@"

bench_workdir

"$bench" --repeat "$repeat" --write-gif24 "$work/ours24.gif" --write-gif8 "$work/ours8.gif" \
  --write-raw24 "$work/in24.rgb" --write-raw8 "$work/in8.gray" > "$work/ours.txt"


declare -A magick pillow
im=convert-im6.q16
export MAGICK_THREAD_LIMIT=${IM_THREADS:-1}
if command -v "$im" > /dev/null; then
  "$im" -size 2048x2048 -depth 8 "rgb:$work/in24.rgb" "$work/in24.mpc"
  "$im" -size 2048x2048 -depth 8 "gray:$work/in8.gray" -type Palette "$work/in8.mpc"
  startup=$(best_us "$im" -size 1x1 xc:black null:)
  base24=$(best_us "$im" "$work/in24.mpc" null:)
  base8=$(best_us "$im" "$work/in8.mpc" null:)
  magick[gif24_encode]=$(minus "$(best_us "$im" "$work/in24.mpc" "$work/im24.gif")" "$base24")
  magick[gif8_encode]=$(minus "$(best_us "$im" "$work/in8.mpc" "$work/im8.gif")" "$base8")
  magick[gif24_decode]=$(minus "$(best_us "$im" "$work/ours24.gif" null:)" "$startup")
  magick[gif8_decode]=$(minus "$(best_us "$im" "$work/ours8.gif" null:)" "$startup")
fi
python=/usr/bin/python3
if "$python" -c 'import PIL' 2> /dev/null; then
  "$python" - "$work" "$repeat" > "$work/pillow.txt" << 'PY'
import io, sys, time
from PIL import Image
work, repeat = sys.argv[1], int(sys.argv[2])
def best(f):
    times = []
    for _ in range(repeat):
        t = time.process_time(); f(); times.append(time.process_time() - t)
    return min(times) * 1000
rgb = Image.frombytes('RGB', (2048, 2048), open(work + '/in24.rgb', 'rb').read())
grey = Image.frombytes('L', (2048, 2048), open(work + '/in8.gray', 'rb').read()).convert('P')
def load_all(path):
    im = Image.open(path)
    for k in range(getattr(im, 'n_frames', 1)):
        im.seek(k); im.load()
print('gif24_encode %.1f' % best(lambda: rgb.save(io.BytesIO(), 'GIF')))
print('gif8_encode %.1f' % best(lambda: grey.save(io.BytesIO(), 'GIF')))
print('gif24_decode %.1f' % best(lambda: load_all(work + '/ours24.gif')))
print('gif8_decode %.1f' % best(lambda: load_all(work + '/ours8.gif')))
PY
  while read -r key value; do pillow[$key]=$value; done < "$work/pillow.txt"
fi

echo "GIF, 2048 x 2048 pictures, best of $repeat runs (CPU milliseconds, user + system; ratio = ours / peer)"
printf '%-40s %10s %12s %7s %10s %7s\n' "operation" "Glintwise" "ImageMagick" "ratio" "Pillow" "ratio"
row() {
  local key=$1 label=$2 m=${magick[$1]:-n/a} p=${pillow[$1]:-n/a}
  printf '%-40s %10s %12s %7s %10s %7s\n' "$label" "$(ours "$key")" "$m" "$(ratio "$(ours "$key")" "$m")" \
    "$p" "$(ratio "$(ours "$key")" "$p")"
}
row gif24_encode "GIF encode, 24-bit (ours: exact mosaic)"
row gif8_encode "GIF encode, 8-bit grey"
row gif24_decode "GIF decode of our 24-bit mosaic"
row gif8_decode "GIF decode, 8-bit grey"
printf '%-40s %10s\n' "file size, bytes: 24-bit mosaic" "$(ours gif24_bytes)"
printf '%-40s %10s\n' "file size, bytes: 8-bit" "$(ours gif8_bytes)"
echo "(ImageMagick: Q16, MAGICK_THREAD_LIMIT=$MAGICK_THREAD_LIMIT, start-up and input reading subtracted;"
echo " the peers' 24-bit encode reduces the picture to 256 colours, ours keeps every colour)"
