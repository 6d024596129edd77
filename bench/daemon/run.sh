#!/usr/bin/env bash
# Media source CPU and memory against ffmpeg encoding the same streams.
#
#   bench/daemon/run.sh <build dir> [seconds]
#
# 1. bench_daemon_hold holds the main (1920x1080 25 fps 2048 kbit/s) and
#    sub (640x360 20 fps 512 kbit/s) H.264 channels and the AAC channel
#    (8000 Hz mono) and prints the CPU seconds per wall second of each of
#    its threads and its peak RSS (VmHWM).
# 2. ffmpeg encodes the same two sizes, rates and bit rates in real time
#    (-re) with libx264 at the platform's preset (OZI_HOST_H264_PRESET),
#    one x264 thread each, zero latency, plus AAC 8000 Hz mono; its CPU and
#    VmHWM come from /proc/<pid>.
# 3. The ratio daemon/ffmpeg of CPU per second and of peak RSS.
set -euo pipefail
build=${1:?build directory}
secs=${2:-20}
here=$(cd "$(dirname "$0")/../.." && pwd)
bin="$build/bin/bench_daemon_hold"
[ -x "$bin" ] || { echo "missing $bin (build target bench_all)"; exit 1; }
preset=$(sed -n 's/^#define OZI_HOST_H264_PRESET "\(.*\)"/\1/p' "$here/platform/include/ozi_host.h")
preset=${preset:-veryfast}
main_opts=$(sed -n 's/^#define OZI_HOST_H264_MAIN_OPTS "\(.*\)"/\1/p' "$here/platform/include/ozi_host.h")

echo "-- media source: main 1080p25 + sub 360p20 + AAC, ${secs} s (x264 preset $preset)"
out=$("$bin" "$secs")
echo "$out"
d_cpu=$(awk '/^total/ {print $2}' <<<"$out")
d_hwm=$(awk '/^vmhwm_kb/ {print $2}' <<<"$out")

echo "-- ffmpeg: the same streams with libx264 -preset $preset"
x264="-c:v libx264 -preset $preset -tune zerolatency -profile:v main -pix_fmt yuv420p -threads 1 -bf 0 -sc_threshold 0 -x264-params ${main_opts:-cabac=1}"
ffmpeg -nostdin -hide_banner -loglevel error \
  -re -f lavfi -i "testsrc2=size=1920x1080:rate=25" \
  -re -f lavfi -i "testsrc2=size=640x360:rate=20" \
  -re -f lavfi -i "sine=frequency=440:sample_rate=8000" \
  -map 0:v $x264 -b:v 2048k -maxrate 2048k -bufsize 2048k -g 50 -f null /dev/null \
  -map 1:v $x264 -b:v 512k -maxrate 512k -bufsize 512k -g 40 -f null /dev/null \
  -map 2:a -c:a aac -ac 1 -ar 8000 -f null /dev/null &
pid=$!
python3 - "$pid" "$secs" "$d_cpu" "$d_hwm" <<'PY'
import os, sys, time
pid, secs, d_cpu, d_hwm = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
hz = os.sysconf("SC_CLK_TCK")
def ticks():
    with open(f"/proc/{pid}/stat") as f:
        rest = f.read().rsplit(")", 1)[1].split()
    return int(rest[11]) + int(rest[12])   # utime, stime (whole process)
def hwm():
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1
time.sleep(2)
t0, c0 = time.monotonic(), ticks()
time.sleep(secs)
c1, t1, peak = ticks(), time.monotonic(), hwm()
f_cpu = (c1 - c0) / hz / (t1 - t0)
print(f"total {f_cpu:.3f}")
print(f"vmhwm_kb {peak}")
print("-- ratio daemon/ffmpeg (goal <= 1.05)")
print(f"cpu_ratio {d_cpu / f_cpu:.3f}")
print(f"rss_ratio {d_hwm / peak:.3f}")
PY
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
