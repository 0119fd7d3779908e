#!/bin/bash
# Regenerates docs/screenshot-en.png and docs/screenshot-zh.png (the main window under a
# virtual X server with pydicom's CT_small.dcm open, once per language) and
# docs/screenshot-batch-en.png (the box that ends a batch over a few of pydicom's files).
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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/out"
data=$(dirname "$picture")
for name in CT_small.dcm MR_small.dcm rtplan.dcm JPEG2000.dcm; do
  cp "$data/$name" "$work/in/"
done
xvfb-run -a -s "-screen 0 1280x800x24" "$tool" en "$picture" "$root/docs/screenshot-batch-en.png" \
  "$work/in" "$work/out"
echo "wrote docs/screenshot-batch-en.png"
