#!/usr/bin/env bash
# Hostility soak: "tavrocam_test record rtsp" of BUILD_DIR (the daemon with
# short segments in its own record directory) with a credentials file; two
# UDP players, two RTP-over-TCP players and the recorder run beside 2,000
# hostile connections for 60 s.
#
#   bench/hostility/run.sh BUILD_DIR     (SECONDS_SOAK, CONNECTIONS)
set -uo pipefail
build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "no build directory ${1:-build}"; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
daemon=$build/bin/tavrocam_test
index=$build/bin/record_index
[ -x "$daemon" ] && [ -x "$index" ] || { echo "hostility soak: $daemon or $index is not built; skipped"; exit 0; }
recdir=$(sed -n 's/^TVR_TEST_RECORD_DIR:STRING=//p' "$build/CMakeCache.txt")
[ -n "$recdir" ] && mkdir -p "$recdir" || { echo "hostility soak: no record directory"; exit 1; }
port=$(awk -F= '/^DOVU_RTSP_PORT:/ {print $2}' "$build/CMakeCache.txt" 2>/dev/null)
port=${port:-554}
work=$(mktemp -d /tmp/hostility.XXXXXX)
printf 'viewer:tavrocam:%s\n' "$(printf viewer:tavrocam:secret | md5sum | cut -c1-32)" >"$work/users"
(cd "$work" && DOVU_RTSP_CREDENTIALS=$work/users exec "$daemon" record rtsp >"$work/log" 2>&1) &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 150); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done
python3 "$here/soak.py" "$port" "$pid" "$work/log" viewer secret "${SECONDS_SOAK:-60}" \
    "${CONNECTIONS:-2000}" "$recdir" "$index"
