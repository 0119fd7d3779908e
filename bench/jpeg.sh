#!/usr/bin/env bash
# JPEG encode and decode of a generated 4096 x 4096 24-bit picture beside the library's own
# tools (cjpeg, djpeg) and ImageMagick, all at quality 90 with 4:2:0 sampling.
#
#   bench/jpeg.sh BUILD_DIR          (REPEAT=N runs per command, default 5)
#
# Every tool runs file to file in /dev/shm: encode reads the same binary PPM and writes a JPEG,
# decode reads the same JPEG (cjpeg's) and writes a PPM, so start-up and PPM handling count
# for all. hyperfine times the runs; the table shows the fastest wall time and the mean CPU
# time (user + system), which is the steadier figure on a busy machine. Our codec alone, in
# memory, is printed below the table.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init jpeg_bench 5 "$@"
for tool in hyperfine cjpeg djpeg python3; do
  command -v "$tool" > /dev/null || { echo "jpeg.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR_BENCH:-/dev/shm}/glintwise-jpeg.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$bench" picture "$work/in.ppm" 4096
cjpeg -quality 90 -sample 2x2 -outfile "$work/ref.jpg" "$work/in.ppm"

im=convert-im6.q16
export MAGICK_THREAD_LIMIT=${IM_THREADS:-1}
commands=(
  "$bench encode $work/in.ppm $work/ours.jpg"
  "cjpeg -quality 90 -sample 2x2 -outfile $work/cjpeg.jpg $work/in.ppm"
  "$bench decode $work/ref.jpg $work/ours.ppm"
  "djpeg -pnm -outfile $work/djpeg.ppm $work/ref.jpg"
)
if command -v "$im" > /dev/null; then
  commands+=("$im $work/in.ppm -quality 90 -sampling-factor 2x2 $work/im.jpg"
             "$im $work/ref.jpg $work/im.ppm")
fi
hyperfine -N --style none --warmup 1 --runs "$repeat" --export-json "$work/times.json" "${commands[@]}" > /dev/null

python3 - "$work" <<'EOF'
import json, os, sys
work = sys.argv[1]
runs = json.load(open(os.path.join(work, "times.json")))["results"]
def figures(i):
    if i >= len(runs):
        return "-", "-"
    r = runs[i]
    return "%.1f" % (1000 * r["min"]), "%.1f" % (1000 * (r["user"] + r["system"]))
def size(name):
    p = os.path.join(work, name)
    return str(os.path.getsize(p)) if os.path.exists(p) else "-"
print("JPEG, 4096 x 4096 24-bit picture, quality 90, 4:2:0, file to file, %d runs (milliseconds: fastest wall / mean CPU)" % runs[0]["times"].__len__())
print("%-8s %20s %20s %20s" % ("", "Glintwise", "cjpeg / djpeg", "ImageMagick"))
for name, ours, lib, im in (("encode", 0, 1, 4), ("decode", 2, 3, 5)):
    cells = [" / ".join(figures(i)) for i in (ours, lib, im)]
    print("%-8s %20s %20s %20s" % (name, *cells))
print("%-8s %20s %20s %20s" % ("bytes", size("ours.jpg"), size("cjpeg.jpg"), size("im.jpg")))
for name, ours, lib in (("encode", 0, 1), ("decode", 2, 3)):
    o, l = runs[ours], runs[lib]
    print("%s: ours / library = %.2f (wall), %.2f (CPU)" % (
        name, o["min"] / l["min"], (o["user"] + o["system"]) / (l["user"] + l["system"])))
EOF
"$bench" memory "$work/in.ppm" "$repeat"
