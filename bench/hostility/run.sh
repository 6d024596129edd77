#!/usr/bin/env bash
# Hostility soak: "tavrocam x rtsp" of BUILD_DIR with a credentials file,
# two UDP players and 2,000 hostile connections for 60 s.
#
#   bench/hostility/run.sh BUILD_DIR     (SECONDS, CONNECTIONS)
set -uo pipefail
build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "no build directory ${1:-build}"; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
daemon=$build/bin/tavrocam
[ -x "$daemon" ] || { echo "hostility soak: $daemon is not built; skipped"; exit 0; }
port=$(awk -F= '/^DOVU_RTSP_PORT:/ {print $2}' "$build/CMakeCache.txt" 2>/dev/null)
port=${port:-554}
work=$(mktemp -d /tmp/hostility.XXXXXX)
printf 'viewer:tavrocam:%s\n' "$(printf viewer:tavrocam:secret | md5sum | cut -c1-32)" >"$work/users"
DOVU_RTSP_CREDENTIALS=$work/users "$daemon" x rtsp >"$work/log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 150); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done
python3 "$here/soak.py" "$port" "$pid" "$work/log" viewer secret "${SECONDS_SOAK:-60}" "${CONNECTIONS:-2000}"
