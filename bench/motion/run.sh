#!/usr/bin/env bash
# Runs every motion benchmark program (bench_motion_*) of the build tree
# given as $1 and prints its figures.
set -uo pipefail
build=${1:?usage: run.sh BUILD_DIR}
status=0
found=0
for prog in "$build"/bin/bench_motion_*; do
  [ -x "$prog" ] || continue
  found=1
  echo "== $(basename "$prog")"
  "$prog" --benchmark_min_time=1 || status=1
done
[ "$found" = 1 ] || echo "no bench_motion_* programs in $build/bin (build the bench_all target)"
exit $status
