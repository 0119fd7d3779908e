#!/bin/bash
# Regenerates docs/screenshot-en.png and docs/screenshot-zh.png: the main window under a
# virtual X server with pydicom's CT_small.dcm open, once per language.
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
