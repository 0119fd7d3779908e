# Sourced by the benchmark scripts (run.sh does not run it on its own).
#
#   bench_init PROGRAM DEFAULT_REPEAT "$@"
#
# Reads the build folder from the script's first argument and sets build, bench (the path of
# the benchmark program PROGRAM in it) and repeat (REPEAT from the environment, else
# DEFAULT_REPEAT); stops the script when the program is not built.
bench_init() {
  local program=$1 default_repeat=$2 script
  script=$(basename "$0")
  shift 2
  build=${1:?usage: $script BUILD_DIR}
  bench=$build/bench/$program
  repeat=${REPEAT:-$default_repeat}
  if [[ ! -x $bench ]]; then
    echo "$script: $bench is not built (cmake --build $build --target $program)" >&2
    exit 1
  fi
}

# A fresh folder for the script's files in $work, memory-backed when /dev/shm exists, removed
# when the script ends.
bench_workdir() {
  work=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/glintwise-bench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}

# Our benchmark program's figure named $1, from the "NAME VALUE" lines of $work/ours.txt.
ours() { awk -v k="$1" '$1 == k { print $2 }' "$work/ours.txt"; }

# Best CPU time (user + system) of $repeat runs of a command, in microseconds. CPU time, not
# wall time: on a shared machine it is what stays comparable between programs.
best_us() {
  local best=0 us i t TIMEFORMAT='%3U %3S'
  for ((i = 0; i < repeat; i++)); do
    t=$({ time "$@" > /dev/null 2>&1; } 2>&1) || return 1
    us=$(awk -v t="$t" 'BEGIN { split(t, a, " "); printf "%d", (a[1] + a[2]) * 1000000 }')
    if ((i == 0 || us < best)); then best=$us; fi
  done
  echo "$best"
}

# $1 - $2 microseconds in milliseconds, never below 0; a / b to two decimals ("-" without b).
minus() { awk -v a="$1" -v b="$2" 'BEGIN { d = (a - b) / 1000; if (d < 0) d = 0; printf "%.1f", d }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0 && a != "n/a" && b != "n/a") printf "%.2f", a / b; else print "-" }'; }
