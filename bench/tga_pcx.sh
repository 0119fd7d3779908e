#!/usr/bin/env bash
# TGA and PCX encode and decode beside ImageMagick and Pillow, on the same generated
# 4096 x 4096 24-bit picture: TGA uncompressed 24-bit, PCX run-length coded RGB planes.
#
#   bench/tga_pcx.sh BUILD_DIR          (REPEAT=N for best of N runs, default 3;
#                                        IM_THREADS=N for ImageMagick's threads, default 1)
#
# Every program writes and reads files in the same folder (tmpfs when there is one). Our
# figures come from tga_pcx_bench (in-process Save and Load). ImageMagick's are whole runs
# minus a baseline, so start-up and reading the input are not counted: decode = "file null:"
# minus an empty start-up; encode starts from ImageMagick's memory-mapped pixel cache (.mpc)
# and subtracts "in.mpc null:". Pillow's are timed inside one Python process (encode = save
# of a loaded picture to a file; decode = open and load our file).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init tga_pcx_bench 3 "$@"

bench_workdir

"$bench" --repeat "$repeat" --dir "$work" --write-raw "$work/in.rgb" > "$work/ours.txt"


declare -A im_ms pil_ms
im=convert-im6.q16
export MAGICK_THREAD_LIMIT=${IM_THREADS:-1}
if command -v "$im" > /dev/null; then
  "$im" -size 4096x4096 -depth 8 "rgb:$work/in.rgb" "$work/in.mpc"
  startup=$(best_us "$im" -size 1x1 xc:black null:)
  base=$(best_us "$im" "$work/in.mpc" null:)
  im_ms[tga_encode]=$(minus "$(best_us "$im" "$work/in.mpc" -compress None "$work/im.tga")" "$base")
  im_ms[tga_decode]=$(minus "$(best_us "$im" "$work/ours.tga" null:)" "$startup")
  im_ms[pcx_encode]=$(minus "$(best_us "$im" "$work/in.mpc" "$work/im.pcx")" "$base")
  im_ms[pcx_decode]=$(minus "$(best_us "$im" "$work/ours.pcx" null:)" "$startup")
fi

python=/usr/bin/python3
[[ -x $python ]] || python=python3
if "$python" -c 'import PIL' 2> /dev/null; then
  while read -r key value; do pil_ms[$key]=$value; done < <("$python" - "$work" "$repeat" << 'PY'
import sys, time
from PIL import Image
work, repeat = sys.argv[1], int(sys.argv[2])
picture = Image.frombytes('RGB', (4096, 4096), open(work + '/in.rgb', 'rb').read())
def best(work):
    times = []
    for _ in range(repeat):
        start = time.process_time()
        work()
        times.append(time.process_time() - start)
    return min(times) * 1000
for name, fmt in (('tga', 'TGA'), ('pcx', 'PCX')):
    print('%s_encode %.1f' % (name, best(lambda: picture.save('%s/pil.%s' % (work, name), fmt))))
    print('%s_decode %.1f' % (name, best(lambda: Image.open('%s/ours.%s' % (work, name)).load())))
PY
  )
fi

echo "TGA and PCX, 4096 x 4096 24-bit picture, best of $repeat runs (CPU milliseconds, user + system; ratio = ours / peer)"
printf '%-30s %10s %12s %7s %10s %7s\n' "operation" "Glintwise" "ImageMagick" "ratio" "Pillow" "ratio"
row() {
  local key=$1 label=$2 mine
  mine=$(ours "$key")
  printf '%-30s %10s %12s %7s %10s %7s\n' "$label" "$mine" "${im_ms[$key]:-n/a}" "$(ratio "$mine" "${im_ms[$key]:-n/a}")" \
    "${pil_ms[$key]:-n/a}" "$(ratio "$mine" "${pil_ms[$key]:-n/a}")"
}
row tga_encode "TGA encode (uncompressed)"
row tga_decode "TGA decode"
row pcx_encode "PCX encode (RLE, RGB planes)"
row pcx_decode "PCX decode"
printf '%-30s %10s\n' "file size, bytes: TGA" "$(ours tga_bytes)"
printf '%-30s %10s\n' "file size, bytes: PCX" "$(ours pcx_bytes)"
if ! command -v "$im" > /dev/null; then echo "($im not found: install imagemagick-6.q16)"; fi
echo "(ImageMagick: Q16, MAGICK_THREAD_LIMIT=$MAGICK_THREAD_LIMIT, start-up and input reading subtracted;"
echo " Pillow: in one process, on the same files)"
