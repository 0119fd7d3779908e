#!/bin/bash
# Regenerates docs/screenshot-en.png and docs/screenshot-zh.png (the main window under a
# virtual X server with pydicom's CT_small.dcm open, once per language) and
# docs/screenshot-batch-en.png (the box that ends a batch over a few of pydicom's files),
# docs/screenshot-lung-en.png (CT_small with the lung preset), docs/screenshot-frames-en.png
# (frame 5 of a 10-frame loop made by scripts/make-cine.py), docs/screenshot-enlarged-en.png (the 64 x 64 MR_small.dcm enlarged in a window resized to
# 1000 x 700) and docs/screenshot-details-en.png (the Details tab of CT_small.dcm).
#   scripts/screenshot.sh [build folder]      (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
case $build in /*) ;; *) build=$root/$build ;; esac

cmake --build "$build" --target glintwise-screenshot
tool=$build/app/glintwise-screenshot
picture=$(/usr/bin/python3 -c "import pydicom.data; print(pydicom.data.get_testdata_file('CT_small.dcm'))")
mkdir -p "$root/docs"
for lang in en zh; do
  xvfb-run -a -s "-screen 0 1280x800x24" "$tool" "$lang" "$picture" "$root/docs/screenshot-$lang.png"
  echo "wrote docs/screenshot-$lang.png"
done

mr=$(dirname "$picture")/MR_small.dcm
xvfb-run -a -s "-screen 0 1280x800x24" "$tool" en "$mr" "$root/docs/screenshot-enlarged-en.png" --size 1000x700
echo "wrote docs/screenshot-enlarged-en.png"
xvfb-run -a -s "-screen 0 1280x800x24" "$tool" en "$picture" "$root/docs/screenshot-details-en.png" --size 900x600 --details
echo "wrote docs/screenshot-details-en.png"

work=$(mktemp -d)
/usr/bin/python3 "$root/scripts/make-cine.py" "$work/cine.dcm"
xvfb-run -a -s "-screen 0 1280x800x24" "$tool" en "$picture" "$root/docs/screenshot-lung-en.png" --size 900x640 --grey "Lung (-600/1500)"
echo "wrote docs/screenshot-lung-en.png"
xvfb-run -a -s "-screen 0 1280x800x24" "$tool" en "$work/cine.dcm" "$root/docs/screenshot-frames-en.png" --size 900x640 --frame 4
echo "wrote docs/screenshot-frames-en.png"

trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in/series2" "$work/out"
data=$(dirname "$picture")
for name in CT_small.dcm MR_small.dcm rtplan.dcm JPEG2000.dcm; do
  cp "$data/$name" "$work/in/"
done
cp "$data/MR_small_RLE.dcm" "$work/cine.dcm" "$work/in/series2/"
SHOT_SUBFOLDERS=1 xvfb-run -a -s "-screen 0 1280x800x24" "$tool" en "$picture" "$root/docs/screenshot-batch-en.png" \
  "$work/in" "$work/out"
echo "wrote docs/screenshot-batch-en.png"
