#!/usr/bin/env bash
# Folder conversion speed: 200 CT-like 512 x 512 16-bit DICOM files converted to BMP and to
# PNG by glintwise-convert (-j 1 and -j 2), by DCMTK's dcm2pnm started once per file from a
# shell loop, and by XMedCon's medcon converting all files in one process. Prints files per
# second, best of three runs each, and the speed-up of "ours -j 2" over medcon. Then one
# 4096 x 4096 16-bit file to BMP, ours beside `dcm2pnm +ob` (both with the file's window):
# best wall and CPU time and peak resident memory (GNU time). Between them, the grey-level
# renderings (--voi file, standard, standard at 16 bits) beside dcm2pnm's window at 8 and 16 bits.
#
# usage: bench/cli_convert.sh [BUILD_DIR]      (BENCH_FILES, BENCH_RUNS, BENCH_TMP override)
# The files live in a memory-backed folder (/dev/shm when present) so that every program is
# measured on its own work, not on the disk (our runs also sync their outputs, once per group
# of files, which a busy disk makes slower). BENCH_TMP=/some/disk/folder measures with it.
set -euo pipefail

build=${1:-build}
tool=$(cd "$build" && pwd)/cli/glintwise-convert
files=${BENCH_FILES:-200}
runs=${BENCH_RUNS:-3}
tmp_base=${BENCH_TMP:-$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3; [ -x "$python" ] || python=python3

[ -x "$tool" ] || { echo "cli_convert: $tool not built" >&2; exit 1; }

work=$(mktemp -d "$tmp_base/glintwise-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
"$python" "$here/make_ct_series.py" "$work/in" "$files"

now() { date +%s.%N; }

# measure COMMAND...: runs the command $runs times in a fresh output folder ($work/out, the
# command's working folder) and prints "FILES_PER_SECOND CPU_MS_PER_FILE" of the fastest run.
# The CPU time (user + system, children included) shows the work done even when other
# processes share the cores and stretch the wall-clock time.
measure() {
    local best="0 0" times rate cpu
    for _ in $(seq "$runs"); do
        rm -rf "$work/out" && mkdir -p "$work/out"
        times=$( { TIMEFORMAT='%3R %3U %3S'; time (cd "$work/out" && "$@" </dev/null >/dev/null 2>&1 || true); } 2>&1 )
        rate=$(awk -v n="$files" -v t="$times" 'BEGIN { split(t, a, " "); printf "%.1f", n / a[1] }')
        cpu=$(awk -v n="$files" -v t="$times" 'BEGIN { split(t, a, " "); printf "%.1f", (a[2] + a[3]) * 1000 / n }')
        best=$(awk -v b="$best" -v r="$rate" -v c="$cpu" 'BEGIN { split(b, a, " "); print (r > a[1]) ? r " " c : b }')
    done
    # A program that wrote fewer files than it was given is reported, not ranked.
    local written
    written=$(find "$work/out" -type f | wc -l)
    if [ "$written" -lt "$files" ]; then
        echo "n/a n/a"
    else
        echo "$best"
    fi
}

dcm2pnm_loop() {  # $1: dcm2pnm output option, $2: extension
    for f in "$work"/in/*.dcm; do
        dcm2pnm --use-window 1 "$1" "$f" "$(basename "$f" .dcm).$2" || return 1
    done
}

have() { command -v "$1" >/dev/null 2>&1; }

printf '%s files, %s, best of %s runs, %s cores\n' \
    "$files" "512 x 512 x 16 bit CT" "$runs" "$(nproc)"
printf 'files per second (CPU ms per file)\n'
printf '%-6s %18s %18s %18s %22s %9s\n' target "ours -j 1" "ours -j 2" "dcm2pnm loop" "medcon" "j2/medcon"
cell() { set -- $1; printf '%s (%s)' "$1" "$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.1fx", a / b; else print "-" }'; }
for target in bmp png; do
    j1=$(cell "$(measure "$tool" -j 1 -f "$target" -o . "$work/in")")
    j2raw=$(measure "$tool" -j 2 -f "$target" -o . "$work/in")
    j2=$(cell "$j2raw")
    eval "cpu_$target=\${j2raw#* }"
    eval "bytes_$target=$(find "$work/out" -type f -name "*.$target" -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')"
    medraw="0 0"
    if have dcm2pnm; then
        option=$([ "$target" = bmp ] && echo +obt || echo +on)
        loop=$(cell "$(measure dcm2pnm_loop "$option" "$target")")
    else
        loop="absent"
    fi
    if have medcon; then
        # medcon writes no BMP; its raw 8-bit binary output (no header, no compression) is the
        # least work it offers, so it stands in for BMP.
        if [ "$target" = bmp ]; then
            medraw=$(measure medcon -w -b8 -cw=40:400 -f "$work"/in/*.dcm -c bin)
            med="$(cell "$medraw") raw"
        else
            medraw=$(measure medcon -w -cw=40:400 -f "$work"/in/*.dcm -c png)
            med=$(cell "$medraw")
        fi
    else
        med="absent"
    fi
    printf '%-6s %18s %18s %18s %22s %9s\n' "$target" "$j1" "$j2" "$loop" "$med" \
        "$(ratio "${j2raw%% *}" "${medraw%% *}")"
done

# PNG's packing beside writing the bytes alone: CPU per file of ours -j 2, and output sizes.
printf '\nPNG beside BMP (ours -j 2): CPU per file %sx BMP'"'"'s; PNG %s bytes per file (BMP %s)\n' \
    "$(awk -v p="$cpu_png" -v b="$cpu_bmp" 'BEGIN { if (b + 0 > 0) printf "%.2f", p / b; else print "-" }')" \
    "$(awk -v s="$bytes_png" -v n="$files" 'BEGIN { printf "%d", s / n }')" \
    "$(awk -v s="$bytes_bmp" -v n="$files" 'BEGIN { printf "%d", s / n }')"

# Grey-level renderings to PNG on 2 threads: the window's conversion, the standard steps at 8
# and 16 bits, beside dcm2pnm's window at 8 and 16 bits.
printf '\ngrey levels to PNG, files per second (CPU ms per file)\n'
printf '%-28s %18s %18s\n' rendering "ours -j 2" "dcm2pnm loop"
for rendering in "file 8" "standard 8" "standard 16"; do
    set -- $rendering
    ours=$(cell "$(measure "$tool" -j 2 --voi "$1" --depth "$2" -f png -o . "$work/in")")
    theirs="absent"
    if have dcm2pnm && [ "$1" = standard ]; then
        theirs=$(cell "$(measure dcm2pnm_loop "$([ "$2" = 16 ] && echo +on2 || echo +on)" png)")
    fi
    printf '%-28s %18s %18s\n' "--voi $1 --depth $2" "$ours" "$theirs"
done

# One large picture: a 4096 x 4096 16-bit file (32 MiB of samples) to BMP.
mkdir -p "$work/big"
"$python" "$here/make_ct_series.py" "$work/big" 1 4096
big=$work/big/CT0001.dcm
# single COMMAND...: best wall and CPU seconds and the largest peak resident memory (KiB) of
# $runs runs, as "WALL CPU PEAK_KB".
single() {
    local best="" out
    for _ in $(seq "$runs"); do
        /usr/bin/time -o "$work/time.txt" -f '%e %U %S %M' "$@" >/dev/null 2>&1 || true
        out=$(tail -n 1 "$work/time.txt")
        best=$(awk -v b="$best" -v o="$out" 'BEGIN {
            split(o, a, " "); w = a[1]; c = a[2] + a[3]; m = a[4]
            if (b == "") { print w, c, m; exit }
            split(b, x, " "); if (x[1] < w) w = x[1]; if (x[2] < c) c = x[2]; if (x[3] > m) m = x[3]
            print w, c, m }')
    done
    echo "$best"
}
if [ -x /usr/bin/time ]; then
    ours=$(single "$tool" -f bmp -o "$work/big/ours.bmp" "$big")
    printf '\n4096 x 4096 x 16 bit to BMP, best of %s runs\n' "$runs"
    printf '%-16s %8s %8s %9s\n' "" "wall s" "cpu s" "peak MiB"
    row() { set -- "$1" $2; printf '%-16s %8s %8.2f %9.1f\n' "$1" "$2" "$3" "$(awk -v k="$4" 'BEGIN { print k / 1024 }')"; }
    row "ours" "$ours"
    if have dcm2pnm; then
        theirs=$(single dcm2pnm --use-window 1 +ob "$big" "$work/big/theirs.bmp")
        row "dcm2pnm +ob" "$theirs"
        set -- $ours; ow=$1 oc=$2
        set -- $theirs
        printf 'speed-up: wall %s, cpu %s\n' "$(ratio "$1" "$ow")" "$(ratio "$2" "$oc")"
    fi
else
    echo "(GNU time /usr/bin/time is missing: the large-file row needs it)"
fi
