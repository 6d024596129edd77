#!/usr/bin/env bash
# Installs the libraries of a build tree under a scratch prefix and checks
# what a user of the installed tree gets.
#   install_check.sh BUILD_DIR WORK_DIR consume   build consumer.c with
#       pkg-config against the installed tree, run it, check its lines
#   install_check.sh BUILD_DIR WORK_DIR exports   the dynamic symbols each
#       installed library defines are exactly what its header declares
set -euo pipefail
build=$1 work=$2 check=$3
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" --component libraries >/dev/null
pc=$(find "$prefix" -name dovu.pc)
[ -n "$pc" ] || { echo "FAIL: no dovu.pc installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir dovu)
includedir=$(pkg-config --variable=includedir dovu)
fail=0
expect() { # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fail=1; fi
}

case $check in
consume)
  for lib in dovu ozi_vibe ozi_mrd; do
    expect "lib$lib.so has its SONAME link" test -L "$libdir/lib$lib.so"
    expect "$lib.pc points at the installed header" \
      test -f "$(pkg-config --variable=includedir $lib)/$( [ $lib = dovu ] && echo dovu || echo $lib).h"
  done
  # shellcheck disable=SC2046
  cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer" "$here/consumer.c" \
     $(pkg-config --cflags --libs dovu ozi_vibe ozi_mrd) -Wl,-rpath,"$libdir"
  (cd "$work" && ./consumer) >"$work/out.txt"
  cat "$work/out.txt"
  out=$(cat "$work/out.txt")
  line() { grep -E "^$1 " "$work/out.txt" | grep -v '^\[' | head -1; }
  has() { grep -qE -- "$1" <<<"$2"; }
  vibe=$(line vibe) mrd=$(line mrd) dovu=$(line 'dovu registered=[0-9]')
  expect "vibe version" has 'version=VIBE Lib V1.0.02/VIBE Lib V1.0.02 ' "$vibe"
  expect "vibe: no box on still frames" has ' still=0 ' "$vibe"
  # The square spans pixels 120..167 x 80..127: a box must cover its centre.
  if [[ $vibe =~ moved=([1-9][0-9]*)\ box=([0-9]+),([0-9]+),([0-9]+),([0-9]+) ]]; then
    l=${BASH_REMATCH[2]} t=${BASH_REMATCH[3]} r=${BASH_REMATCH[4]} b=${BASH_REMATCH[5]}
    expect "vibe: the box covers the square" test $l -le 144 -a $r -ge 144 -a $t -le 104 -a $b -ge 104
  else
    expect "vibe: the square gives a box" false
  fi
  expect "mrd version" has 'version=MRD Lib V1.0.06/MRD Lib V1.0.06 ' "$mrd"
  expect "mrd: one box on the active block" has 'count=1 box=5,4,9,7$' "$mrd"
  expect "dovu: init" grep -qx 'dovu init=0' "$work/out.txt"
  expect "dovu: registry" has \
    'registered=1 again=0 same=1 started=1 data=frame ts=40 info=0 fps=25 released=1 unknown=0' \
    "$dovu"
  expect "dovu: log line of the start" has '^\[INFO\]\[[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9:]{12}\]DOVU streaming library is created' "$out"
  expect "dovu: log line of the refused second registration" has '^\[ERROR\].*src_name:consumer was' "$out"
  expect "dovu: log line of the stream start" has '^\[INFO\].*dovu_start_video_stream: consumer' "$out"
  ;;
exports)
  for pair in dovu:dovu.h ozi_vibe:ozi_vibe.h ozi_mrd:ozi_mrd.h; do
    lib=${pair%%:*} header=${pair#*:}
    nm -D --defined-only "$libdir/lib$lib.so" | awk '{print $3}' | sort >"$work/$lib.exported"
    cc -E -P "$includedir/$header" | python3 "$here/declared_names.py" | sort >"$work/$lib.declared"
    if diff -u "$work/$lib.declared" "$work/$lib.exported" >"$work/$lib.diff"; then
      echo "ok: lib$lib.so exports the $(wc -l <"$work/$lib.exported") names of $header"
    else
      echo "FAIL: lib$lib.so exports differ from $header (- declared only, + exported only):"
      cat "$work/$lib.diff"
      fail=1
    fi
  done
  ;;
*)
  echo "unknown check $check"; exit 2 ;;
esac
exit $fail
