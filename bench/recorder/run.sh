#!/usr/bin/env bash
# Recorder benchmark: runs tavrocam_test (short segments) recording for
# BENCH_SEC seconds (default 30), samples the CPU time of its "thread_mux"
# thread from /proc after the start-up and at the end, and extrapolates to
# one recorded hour.  Then compares the finished segments' sizes with the
# media bytes inside them (sum of packet sizes, by ffprobe), and counts the
# video frames in them against their length at 25 fps (record_index).
#   run.sh <build dir>
set -uo pipefail
build=$(cd "${1:?build dir}" && pwd)
bin=$build/bin/tavrocam_test
[ -x "$bin" ] || { echo "recorder: $bin not built"; exit 1; }
dir=$(sed -n 's/^TVR_TEST_RECORD_DIR:STRING=//p' "$build/CMakeCache.txt")
[ -n "$dir" ] || { echo "recorder: TVR_TEST_RECORD_DIR unknown"; exit 1; }
secs=${BENCH_SEC:-30}
tck=$(getconf CLK_TCK)
work=$(mktemp -d /tmp/tvr_rec_bench_XXXXXX)
rm -rf "$dir"; mkdir -p "$dir"
(cd "$work" && exec "$bin" record >"$work/log" 2>&1) &
pid=$!
trap 'kill -9 $pid 2>/dev/null; rm -rf "$work"' EXIT

# Ticks of user+system time of one thread, and of the whole process.
ticks() { awk '{ print $14 + $15 }' "$1"; }
# thread_mux starts once the encoders are up and the start-up repair is
# done: a loaded machine may take a while.
tid=""
for _ in $(seq 300); do
    for t in /proc/$pid/task/*; do
        [ "$(cat "$t/comm" 2>/dev/null)" = "thread_mux" ] && tid=${t##*/}
    done
    [ -n "$tid" ] && break
    sleep 0.1
done
[ -n "$tid" ] || { echo "recorder: no thread_mux in process $pid"; exit 1; }
t0=$(date +%s.%N); m0=$(ticks /proc/$pid/task/$tid/stat); p0=$(ticks /proc/$pid/stat)
sleep "$secs"
t1=$(date +%s.%N); m1=$(ticks /proc/$pid/task/$tid/stat); p1=$(ticks /proc/$pid/stat)
kill -9 $pid; wait $pid 2>/dev/null

awk -v t0="$t0" -v t1="$t1" -v m="$((m1 - m0))" -v p="$((p1 - p0))" -v tck="$tck" 'BEGIN {
    wall = t1 - t0; mux = m / tck; proc = p / tck;
    printf "recorder: %.1f s recorded (1080p25 + AAC 8 kHz, host platform)\n", wall;
    printf "recorder: thread_mux CPU %.3f s = %.2f %% of one core = %.1f CPU-s per recorded hour\n",
           mux, 100 * mux / wall, mux * 3600 / wall;
    printf "recorder: whole daemon CPU %.2f s (%.1f %% of one core; capture and encoding included)\n",
           proc, 100 * proc / wall;
}'

files=$(find "$dir" -mindepth 2 -type f -name '*.mp4' | sort)
total=0 media=0 n=0
for f in $files; do
    size=$(stat -c %s "$f")
    bytes=$(ffprobe -v error -show_entries packet=size -of csv=p=0 "$f" | awk -F, '{ s += $1 } END { print s + 0 }')
    total=$((total + size)); media=$((media + bytes)); n=$((n + 1))
done
if [ "$n" -gt 0 ] && [ "$media" -gt 0 ]; then
    awk -v t="$total" -v m="$media" -v n="$n" 'BEGIN {
        printf "recorder: %d finished segments, %d bytes in the finished files for %d media bytes = %.4f bytes per media byte\n",
               n, t, m, t / m }'
else
    echo "recorder: no finished segment to measure"
fi

# Video frames per finished segment against its length (1080p25: 40 ms).
index=$build/bin/record_index
if [ -x "$index" ] && "$index" --json "$dir" >"$work/index.json"; then
    python3 - "$work/index.json" <<'PY'
import json, sys
files = [f for f in json.load(open(sys.argv[1]))["files"] if "/" in f["path"]]
if not files:
    print("recorder: no finished segment to count frames in")
    sys.exit(0)
got = sum(f["video"]["frames"] for f in files)
want = sum(round(f["length_ms"] / 40) for f in files)
worst = max(round(f["length_ms"] / 40) - f["video"]["frames"] for f in files)
print("recorder: %d finished segments hold %d of %d video frames (length x 25), "
      "%d missing = 1 in %s, worst segment short by %d" % (
          len(files), got, want, want - got, "%.0f" % (want / (want - got)) if want > got else "none",
          worst))
PY
fi
