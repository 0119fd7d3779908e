#!/usr/bin/env bash
# Camera raw decode of a generated 24-megapixel DNG (6000 x 4000 Bayer mosaic, 12 bits in
# 16-bit words, written by tests/imaging/make_dng.py) beside LibRaw's own dcraw_emu, the same
# engine: both read the DNG, demosaic bilinearly (-q 0) and write an 8-bit PPM in /dev/shm.
#
#   bench/raw.sh BUILD_DIR          (REPEAT=N runs per command, default 3)
#
# hyperfine times the runs; the table shows the fastest wall time and the mean CPU time
# (user + system; LibRaw uses OpenMP threads in both). Our decoder alone, in memory, is
# printed below the table.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init raw_bench 3 "$@"
for tool in hyperfine dcraw_emu python3; do
  command -v "$tool" > /dev/null || { echo "raw.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
/usr/bin/python3 -c "import tifffile, numpy" 2> /dev/null \
  || { echo "raw.sh: python3-tifffile is missing (scripts/install-deps.sh)" >&2; exit 1; }

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d "${TMPDIR_BENCH:-/dev/shm}/glintwise-raw.XXXXXX")
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$here/../tests/imaging/make_dng.py" "$work/in.dng" 6000 4000
cp "$work/in.dng" "$work/emu.dng"  # dcraw_emu writes beside its input

hyperfine -N --style none --warmup 1 --runs "$repeat" --export-json "$work/times.json" \
  "$bench decode $work/in.dng $work/ours.ppm 0" \
  "dcraw_emu -q 0 $work/emu.dng" > /dev/null

python3 - "$work" <<'EOF'
import json, os, sys
work = sys.argv[1]
runs = json.load(open(os.path.join(work, "times.json")))["results"]
def figures(r):
    return "%.0f / %.0f" % (1000 * r["min"], 1000 * (r["user"] + r["system"]))
print("camera raw, 6000 x 4000 DNG (%d bytes), -q 0 to an 8-bit PPM, %d runs (milliseconds: fastest wall / mean CPU)"
      % (os.path.getsize(os.path.join(work, "in.dng")), len(runs[0]["times"])))
print("%-8s %20s %20s" % ("", "Glintwise", "dcraw_emu"))
print("%-8s %20s %20s" % ("decode", figures(runs[0]), figures(runs[1])))
o, l = runs[0], runs[1]
print("decode: ours / dcraw_emu = %.2f (wall), %.2f (CPU)" % (
    o["min"] / l["min"], (o["user"] + o["system"]) / (l["user"] + l["system"])))
same = open(os.path.join(work, "ours.ppm"), "rb").read() == open(os.path.join(work, "emu.dng.ppm"), "rb").read()
print("outputs identical: %s" % ("yes" if same else "no"))
EOF
"$bench" memory "$work/in.dng" "$repeat"
