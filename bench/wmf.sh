#!/usr/bin/env bash
# Metafile playback: one generated drawing of 10,000 records as a placeable WMF and as an EMF
# (800 x 600 pixels), rendered file to file by us (to BMP), by libwmf's wmf2gd (WMF to PNG at
# the same size) and by emf2svg-conv followed by rsvg-convert (EMF to SVG to PNG).
#
#   bench/wmf.sh BUILD_DIR          (REPEAT=N runs per command, default 5)
#
# hyperfine times the runs; the table shows the fastest wall time and the mean CPU time
# (user + system). Our in-memory playback alone is printed below the table.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_init wmf_bench 5 "$@"
for tool in hyperfine wmf2gd emf2svg-conv rsvg-convert python3; do
  command -v "$tool" > /dev/null || { echo "wmf.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR_BENCH:-/dev/shm}/glintwise-wmf.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$bench" make "$work/in.wmf" "$work/in.emf"

commands=(
  "$bench decode $work/in.wmf $work/ours_wmf.bmp"
  "wmf2gd --maxwidth=800 --maxheight=600 --maxpect -o $work/wmf2gd.png $work/in.wmf"
  "$bench decode $work/in.emf $work/ours_emf.bmp"
  "sh -c 'emf2svg-conv -i $work/in.emf -o $work/emf2svg.svg && rsvg-convert $work/emf2svg.svg -o $work/emf2svg.png'"
)
hyperfine -N --style none --warmup 1 --runs "$repeat" --export-json "$work/times.json" "${commands[@]}" > /dev/null 2>&1

python3 - "$work" <<'PY'
import json, os, sys
runs = json.load(open(os.path.join(sys.argv[1], "times.json")))["results"]
def cell(i):
    r = runs[i]
    return "%.1f / %.1f" % (1000 * r["min"], 1000 * (r["user"] + r["system"]))
print("Metafile playback, 10,000 records, 800 x 600, file to file, %d runs (milliseconds: fastest wall / mean CPU)" % len(runs[0]["times"]))
print("%-6s %20s %28s" % ("", "Glintwise", "wmf2gd / emf2svg+rsvg"))
print("%-6s %20s %28s" % ("WMF", cell(0), cell(1)))
print("%-6s %20s %28s" % ("EMF", cell(2), cell(3)))
PY
"$bench" --repeat "$repeat" "$work/in.wmf" "$work/in.emf"
