#!/usr/bin/env bash
# Media source CPU, memory and bit rates against ffmpeg on the same content,
# the cost of the synthetic scene, and the A/V offsets of a recording.
#
#   bench/daemon/run.sh <build dir> [seconds]
#
# 1. Same content.  A 20 s clip of the synthetic scene (1080p25, rendered
#    by scene_y4m, encoded by ffmpeg) is the input of both sides:
#    - bench_daemon_hold loops it as its scene (OZI_SCENE_FILE) and holds
#      the main (1920x1080 25 fps 2048 kbit/s CBR) and sub (640x360 20 fps
#      512 kbit/s CBR) H.264 channels and the AAC channel;
#    - ffmpeg decodes it in real time (-re, one decoder thread), scales
#      the sub picture and encodes the same two outputs with the platform's
#      libx264 settings (preset, CABAC, one thread, no B frames, GOP 2 s,
#      QP 25..50, CBR with a 100 ms buffer and filler), plus AAC 8000 Hz,
#      at the real-time priority of the daemon's encoder threads.
#    Each side prints its CPU seconds per wall second, peak RSS (VmHWM)
#    and the bit rate of each channel; then the ratios daemon/ffmpeg.  Two
#    rounds, side by side, as the machine's load moves.
# 2. The synthetic scene at CBR: the daemon's cost and bit rates on it.
# 3. How hard the synthetic scene is: kbit/s at fixed QP 26 and 32 (same
#    libx264 settings, no rate control) of the scene and of ffmpeg's
#    testsrc2, at both channel sizes; and the scene's drawing cost.
# 4. A/V offsets (av_sync_offset) of the segments tavrocam_test records
#    in 20 s.
set -euo pipefail
build=${1:?build directory}
secs=${2:-20}
here=$(cd "$(dirname "$0")/../.." && pwd)
bin="$build/bin/bench_daemon_hold"
for b in bench_daemon_hold scene_y4m av_sync_offset tavrocam_test; do
  [ -x "$build/bin/$b" ] || { echo "missing $build/bin/$b (build targets bench_all, av_sync_offset, tavrocam_test)"; exit 1; }
done
preset=$(sed -n 's/^#define OZI_HOST_H264_PRESET "\(.*\)"/\1/p' "$here/platform/include/ozi_host.h")
preset=${preset:-veryfast}
main_opts=$(sed -n 's/^#define OZI_HOST_H264_MAIN_OPTS "\(.*\)"/\1/p' "$here/platform/include/ozi_host.h")
tmp=$(mktemp -d /tmp/bench_daemon_XXXXXX)
trap 'rm -rf "$tmp"' EXIT

# libx264 as the platform sets it up: x264_opts <gop> <kbit/s> [qp]
x264_opts() {
  local rc="-qmin 25 -qmax 50 -b:v ${2}k -maxrate ${2}k -minrate ${2}k -bufsize $(( $2 / 10 ))k -nal-hrd cbr"
  [ -n "${3:-}" ] && rc="-qp $3"
  echo "-c:v libx264 -preset $preset -tune zerolatency -profile:v main -pix_fmt yuv420p -threads 1" \
       "-bf 0 -g $1 -keyint_min $1 -sc_threshold 0 -forced-idr 1 $rc" \
       "-x264-params scenecut=0:rc-lookahead=0:sync-lookahead=0:sliced-threads=0:repeat-headers=1:${main_opts:-cabac=1}"
}

field() { awk -v k="$1" '$1 == k {print $2}' <<<"$2"; }
channel() { awk -v c="$1" '$1 == "channel" && $2 == c {print $3}' <<<"$2"; }

# The daemon's side: prints its lines, sets d_cpu d_hwm d_main d_sub.
daemon_side() {
  local out
  out=$("$bin" "$secs" 2>&1 | grep -E '^(thread|total|vmhwm_kb|channel) ')
  echo "$out"
  d_cpu=$(field total "$out"); d_hwm=$(field vmhwm_kb "$out")
  d_main=$(channel main "$out"); d_sub=$(channel sub "$out")
}

# The daemon's encoder threads run at real-time priority 90 (SCHED_RR, as
# on the camera); ffmpeg gets the same, or a loaded machine would slow it
# below real time while the daemon keeps up.
rt=()
chrt -r 90 true 2>/dev/null && rt=(chrt -r 90)

# ffmpeg's side on $clip: prints its lines, sets f_cpu f_hwm f_main f_sub.
ffmpeg_side() {
  "${rt[@]}" ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -filter_threads 1 \
    -filter_complex_threads 1 \
    -re -stream_loop -1 -i "$clip" -re -f lavfi -i "sine=frequency=440:sample_rate=8000" \
    -filter_complex "[0:v]split=2[m][s0];[s0]scale=640:360:flags=fast_bilinear,fps=20[s]" \
    -map "[m]" $(x264_opts 50 2048) -f h264 -y "$tmp/main.h264" \
    -map "[s]" $(x264_opts 40 512) -f h264 -y "$tmp/sub.h264" \
    -map 1:a -c:a aac -ac 1 -ar 8000 -f null /dev/null &
  local pid=$! out
  out=$(python3 - "$pid" "$secs" "$tmp/main.h264" "$tmp/sub.h264" <<'PY'
import os, sys, time
pid, secs, main, sub = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3], sys.argv[4]
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
print(f"total {(c1 - c0) / hz / (t1 - t0):.3f}")
print(f"vmhwm_kb {peak}")
PY
)
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  # Bit rate of each output stream: its bytes over its pictures' duration.
  local name fps pictures
  for name in main:25 sub:20; do
    fps=${name#*:}; name=${name%:*}
    pictures=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$tmp/$name.h264")
    out="$out
channel $name $(awk -v b="$(stat -c %s "$tmp/$name.h264")" -v n="$pictures" -v f="$fps" \
      'BEGIN {printf "%.1f kbit/s over %d pictures", b * 8 / 1000 / (n / f), n}')"
  done
  echo "$out"
  f_cpu=$(field total "$out"); f_hwm=$(field vmhwm_kb "$out")
  f_main=$(channel main "$out"); f_sub=$(channel sub "$out")
}

echo "-- 1. same content: daemon and ffmpeg on a looped 1080p25 clip of the synthetic scene, ${secs} s each"
clip="$tmp/scene.mp4"
"$build/bin/scene_y4m" 1920 1080 25 500 2>/dev/null |
  ffmpeg -nostdin -v error -y -f yuv4mpegpipe -i - -c:v libx264 -preset veryfast -crf 23 -g 50 \
    -pix_fmt yuv420p "$clip"
echo "clip_kbit_s $(ffprobe -v error -show_entries format=bit_rate -of csv=p=0 "$clip" | awk '{printf "%.0f", $1 / 1000}')"
ratios=""
for round in 1 2; do
  echo "- round $round: daemon (x264 preset $preset)"
  OZI_SCENE_FILE="$clip" daemon_side
  echo "- round $round: ffmpeg"
  ffmpeg_side
  r=$(awk -v d="$d_cpu" -v f="$f_cpu" 'BEGIN {printf "%.3f", d / f}')
  ratios="$ratios $r"
  echo "- round $round: daemon/ffmpeg cpu_ratio $r rss_ratio $(awk -v d="$d_hwm" -v f="$f_hwm" 'BEGIN {printf "%.3f", d / f}')" \
       "main_kbit_s $d_main/$f_main sub_kbit_s $d_sub/$f_sub"
done
echo "cpu_ratio_mean $(awk '{s = 0; for (i = 1; i <= NF; i++) s += $i; printf "%.3f", s / NF}' <<<"$ratios") (goal <= 1.05)"

echo "-- 2. synthetic scene at CBR: daemon, ${secs} s"
daemon_side

echo "-- 3. synthetic scene against testsrc2 at fixed QP (10 s, kbit/s), and its drawing cost"
for size in 1920x1080:25 640x360:20; do
  wh=${size%%:*}; fps=${size##*:}; w=${wh%%x*}; h=${wh##*x}
  for qp in 26 32; do
    cost=$("$build/bin/scene_y4m" "$w" "$h" "$fps" $((10 * fps)) 2>"$tmp/render.txt" |
      ffmpeg -nostdin -v error -y -f yuv4mpegpipe -i - $(x264_opts $((2 * fps)) 0 "$qp") -f h264 - | wc -c)
    ref=$(ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=$wh:rate=$fps" -t 10 \
      $(x264_opts $((2 * fps)) 0 "$qp") -f h264 - | wc -c)
    echo "fixed_qp $wh@$fps qp $qp scene_kbit_s $((cost * 8 / 10000)) testsrc2_kbit_s $((ref * 8 / 10000))" \
         "scene/testsrc2 $(awk -v a="$cost" -v b="$ref" 'BEGIN {printf "%.2f", a / b}')"
  done
  echo "render $wh $(cat "$tmp/render.txt")"
done

echo "-- 4. A/V offsets of a recording (tavrocam_test record, 20 s)"
rec="$build/test-record"
rm -rf "$rec"; mkdir -p "$rec"
timeout 20 "$build/bin/tavrocam_test" record >/dev/null 2>&1 || true
for f in "$rec"/*/*.mp4; do
  [ -e "$f" ] || { echo "no finished segment"; break; }
  echo "$(basename "$f"): $("$build/bin/av_sync_offset" "$f" | tail -1)"
done
