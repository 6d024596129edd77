#!/usr/bin/env bash
# PLAY to first key frame for fresh and running channels at client paces of
# 0, 50 and 200 ms, against "tavrocam x rtsp" of BUILD_DIR.
#
#   bench/first_picture/run.sh BUILD_DIR        (TRIALS, default 20)
set -uo pipefail
build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "no build directory ${1:-build}"; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
daemon=$build/bin/tavrocam
[ -x "$daemon" ] || { echo "first picture bench: $daemon is not built; skipped"; exit 0; }
port=$(awk -F= '/^DOVU_RTSP_PORT:/ {print $2}' "$build/CMakeCache.txt" 2>/dev/null)
port=${port:-554}
log=$(mktemp /tmp/first_picture.XXXXXX)
"$daemon" x rtsp >"$log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 150); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done
python3 "$here/first_picture.py" "$port" "$log" "${TRIALS:-20}"
