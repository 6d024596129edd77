#!/usr/bin/env bash
# Runs every benchmark under bench/ that the build produced and prints its
# figures.  Each area adds its runner as bench/<area>/run.sh.
set -uo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
for runner in "$here"/bench/*/run.sh; do
  [ -f "$runner" ] || continue
  echo "==== $(basename "$(dirname "$runner")")"
  bash "$runner" "$here/$build" || echo "(benchmark $(dirname "$runner") failed)"
done
