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
