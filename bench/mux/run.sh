#!/usr/bin/env bash
# Prints the muxer's figures.  $1: the build directory.
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR}
dir=$(mktemp -d "$build/mux_bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
"$build/bin/mux_bench" "$dir"
