#!/usr/bin/env bash
# Figures for the camera's CPU (ARMv5TE, soft float): the stripped sizes of
# the three libraries built for it, and per-call timings of bench_target
# under qemu-arm.  The emulated timings are for comparing one build with the
# next, not for the real CPU; the host's own run is printed beside them.
# Builds the cross tree in <source>/build-armel (as make cross-test does).
set -uo pipefail
build=${1:?usage: run.sh BUILD_DIR}
src=$(cd "$(dirname "$0")/../.." && pwd)
cross=$src/build-armel
triplet=arm-linux-gnueabi
sysroot=/usr/$triplet

cmake -S "$src" -B "$cross" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/armel-toolchain.cmake" >/dev/null &&
  cmake --build "$cross" -j "$(nproc)" --target dovu ozi_vibe ozi_mrd bench_target >/dev/null ||
  { echo "cross build failed"; exit 1; }

echo "== stripped sizes, ARMv5TE soft-float ($triplet-strip), bytes"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for lib in dovu ozi_vibe ozi_mrd; do
  so=$(readlink -f "$cross/lib/lib$lib.so")
  $triplet-strip -o "$tmp/lib$lib.so" "$so"
  read -r text data bss _ < <($triplet-size "$tmp/lib$lib.so" | tail -1)
  printf "%-14s %9d   (text %d, data %d, bss %d)\n" "lib$lib.so" "$(stat -c %s "$tmp/lib$lib.so")" \
    "$text" "$data" "$bss"
done

echo "== per call, EMULATED: qemu-arm -cpu arm926 on this host (compare builds, not CPUs)"
qemu-arm -cpu arm926 -L "$sysroot" -E LD_LIBRARY_PATH="$cross/lib" "$cross/bin/bench_target" 2
if [ -x "$build/bin/bench_target" ]; then
  echo "== per call, host native (reference)"
  "$build/bin/bench_target" 1
fi
