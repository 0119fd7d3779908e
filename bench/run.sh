#!/usr/bin/env bash
# Runs every benchmark script of this folder (all bench/*.sh but this one and common.sh,
# which the others source) with the build folder as its argument; a failing script is
# reported and the others still run.
#
#   bench/run.sh BUILD_DIR
set -uo pipefail

build=${1:?usage: run.sh BUILD_DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
status=0
for script in "$here"/*.sh; do
  case $(basename "$script") in run.sh | common.sh) continue ;; esac
  echo "== $(basename "$script" .sh)"
  if ! bash "$script" "$build"; then
    echo "$(basename "$script") failed" >&2
    status=1
  fi
  echo
done
exit $status
