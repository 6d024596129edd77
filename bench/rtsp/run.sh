#!/usr/bin/env bash
# RTSP fan-out benchmark.
#
#   bench/rtsp/run.sh BUILD_DIR
#
# Starts BUILD_DIR/bin/tavrocam as "tavrocam x rtsp" (streaming only, no
# recording), records about RECORD_SEC seconds of its main stream with
# ffmpeg, and serves the recording, looping at its frame rate, with a
# GStreamer RTSP server (shared media): both serve the same content at the
# same rate.  Then, ROUNDS times (default 3), for each protocol and each N
# in SESSIONS, it plays N sessions for DURATION seconds with
# rtsp_load_client on the daemon and right after on GStreamer, so that each
# ratio compares two runs of the same minutes.  It prints packet loss,
# delivered bit rate, the server's CPU seconds per delivered Mbit (ours: the
# library's threads "rtsp_server" and "rtsp_v_*" only; GStreamer: the whole
# process), frames per second received per session, the resident set size
# of the server process, and the ratio ours/GStreamer of CPU per Mbit;
# the summary gives, for each N, the median of the rounds and the range of
# the ratio.
#
# Each load runs over UDP and over TCP (RTP interleaved on the RTSP
# connection), PROTOCOLS (default "udp tcp").
#
# Then the daemon runs once more with the heap meter (BUILD_DIR/lib/
# libdovu_heap_meter.so, preloaded; see heap_meter.cpp) and plays
# HEAP_SESSIONS sessions (default 100) for HEAP_DURATION s (default 5) over
# each protocol: it prints the bytes that libdovu's own code holds on the
# heap while they play, and the peak over the daemon's life.  The CPU
# figures come from the runs without the meter.
#
# Environment: DURATION (s, default 20), SESSIONS (default "1 10 50 100"), ROUNDS,
# RECORD_SEC (default 10), GST_PORT (default 8554), SETTLE (s, default 1),
# OURS_THREADS (default "rtsp_server,rtsp_v_"), HEAP_SESSIONS, HEAP_DURATION.  The daemon's port is the
# build's DOVU_RTSP_PORT; it must be free (554 needs root).
set -uo pipefail

build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "no build directory ${1:-build}"; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
DURATION=${DURATION:-20}
SESSIONS=${SESSIONS:-"1 10 50 100"}
RECORD_SEC=${RECORD_SEC:-10}
GST_PORT=${GST_PORT:-8554}
SETTLE=${SETTLE:-1}
OURS_THREADS=${OURS_THREADS:-rtsp_server,rtsp_v_}
PROTOCOLS=${PROTOCOLS:-"udp tcp"}
HEAP_SESSIONS=${HEAP_SESSIONS:-100}
HEAP_DURATION=${HEAP_DURATION:-5}
ROUNDS=${ROUNDS:-3}
meter=$build/lib/libdovu_heap_meter.so

client=$build/bin/rtsp_load_client
daemon=$build/bin/tavrocam
port=$(awk -F= '/^DOVU_RTSP_PORT:/ {print $2}' "$build/CMakeCache.txt" 2>/dev/null)
port=${port:-554}
mount=tavro_mirel/main

for f in "$client" "$daemon"; do
  [ -x "$f" ] || { echo "rtsp bench: $f is not built; skipped"; exit 0; }
done

work=$(mktemp -d /tmp/bench_rtsp.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null && wait "$p" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
wait_port() {
  for _ in $(seq 100); do port_open "$1" && return 0; sleep 0.1; done
  return 1
}

declare -A res
run_load() {  # label url pid threads sessions protocol round
  local label=$1 url=$2 pid=$3 threads=$4 n=$5 proto=$6 round=$7 out flag=
  [ "$proto" = tcp ] && flag=--tcp
  out=$("$client" --url "$url" --sessions "$n" --duration "$DURATION" --settle "$SETTLE" \
        --pid "$pid" --threads "$threads" --exclude thread_venc_main --label "$label-$proto-$n-r$round" $flag)
  echo "$out" | grep -v '^RESULT'
  res[$label-$proto,$n,$round]=$(echo "$out" | grep '^RESULT')
}
field() { echo "${res[$1,$2,$3]:-}" | tr ' ' '\n' | awk -F= -v k="$4" '$1 == k {print $2}'; }
# The median of the numbers on stdin ("" when none).
median() { sort -g | awk '{v[NR] = $1} END {if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }

echo "rtsp fan-out: sessions [$SESSIONS], $DURATION s each, $ROUNDS rounds, daemon port $port, GStreamer port $GST_PORT"

# ---- the two servers -------------------------------------------------------
if port_open "$port"; then
  echo "rtsp bench: port $port is in use by another program; skipped"
  exit 1
fi
if port_open "$GST_PORT"; then
  echo "rtsp bench: port $GST_PORT is in use by another program; skipped"
  exit 1
fi
# Up to 100 players, each with its control connection: above the default cap.
(cd "$work" && DOVU_RTSP_MAX_CONN=${DOVU_RTSP_MAX_CONN:-256} exec "$daemon" x rtsp \
    >"$work/daemon.log" 2>&1) &
dpid=$!
pids+=("$dpid")
if ! wait_port "$port"; then
  echo "rtsp bench: tavrocam does not listen on port $port"; tail -20 "$work/daemon.log"; exit 1
fi

ffmpeg -nostdin -loglevel error -rtsp_transport udp -i "rtsp://127.0.0.1:$port/$mount" \
       -c copy -t "$RECORD_SEC" -y "$work/x.h264" 2>"$work/ffmpeg.log"
if [ ! -s "$work/x.h264" ]; then
  echo "rtsp bench: recording the main stream failed"; tail -20 "$work/ffmpeg.log"; exit 1
fi
fps=$(ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 \
      "$work/x.h264" 2>/dev/null)
case "$fps" in ''|0/*|*/0) fps=25/1 ;; esac
echo "recorded $(stat -c %s "$work/x.h264") bytes of the main stream, $fps fps"

/usr/bin/python3 "$here/gst_rtsp_server.py" --file "$work/x.h264" --port "$GST_PORT" \
    --fps "$fps" --mount "/$mount" >"$work/gst.log" 2>&1 &
gpid=$!
pids+=("$gpid")
if ! wait_port "$GST_PORT"; then
  echo "rtsp bench: GStreamer server did not start"; cat "$work/gst.log"; exit 1
fi
sleep 2  # the recording's channel goes away

# ---- the load, ours and GStreamer's side by side ------------------------------
for round in $(seq "$ROUNDS"); do
  for proto in $PROTOCOLS; do
    for n in $SESSIONS; do
      run_load ours "rtsp://127.0.0.1:$port/$mount" "$dpid" "$OURS_THREADS" "$n" "$proto" "$round"
      sleep 2
      run_load gst "rtsp://127.0.0.1:$GST_PORT/$mount" "$gpid" all "$n" "$proto" "$round"
      sleep 1
    done
  done
done
kill "$dpid" "$gpid" 2>/dev/null; wait "$dpid" "$gpid" 2>/dev/null

# ---- libdovu's heap ----------------------------------------------------------
declare -A heap
if [ -f "$meter" ] && [ "$HEAP_SESSIONS" -gt 0 ]; then
  sleep 1
  (cd "$work" && DOVU_RTSP_MAX_CONN=${DOVU_RTSP_MAX_CONN:-256} \
      DOVU_HEAP_METER_FILE="$work/heap.txt" LD_PRELOAD="$meter" exec "$daemon" x rtsp \
      >"$work/daemon_heap.log" 2>&1) &
  hpid=$!
  pids+=("$hpid")
  if wait_port "$port"; then
    for proto in $PROTOCOLS; do
      flag=; [ "$proto" = tcp ] && flag=--tcp
      out=$("$client" --url "rtsp://127.0.0.1:$port/$mount" --sessions "$HEAP_SESSIONS" \
            --duration "$HEAP_DURATION" --settle "$SETTLE" --heap-file "$work/heap.txt" \
            --label "heap-$proto-$HEAP_SESSIONS" $flag)
      echo "$out" | grep -v '^RESULT'
      heap[$proto]=$(echo "$out" | grep '^RESULT')
      sleep 2
    done
  else
    echo "rtsp bench: tavrocam with the heap meter does not listen on port $port"
  fi
  kill "$hpid" 2>/dev/null; wait "$hpid" 2>/dev/null
fi

# ---- summary ---------------------------------------------------------------
# Medians over the rounds of one side's figure k at N = n.
side_median() {  # side n key
  for r in $(seq "$ROUNDS"); do field "$1" "$2" "$r" "$3"; done | median
}
echo
echo "RTSP fan-out, $DURATION s per run, medians of $ROUNDS rounds (ours: library threads $OURS_THREADS; GStreamer: whole process)"
for proto in $PROTOCOLS; do
echo "over $proto:"
printf "%5s | %-46s | %-46s | %s\n" "" "ours (tavrocam)" "GStreamer" "cpu/Mbit ours/gst"
printf "%5s | %8s %5s %8s %12s %8s | %8s %5s %8s %12s %8s | %6s %s\n" N "Mbit/s" "fps" "loss%" \
       "cpu-s/Mbit" "RSS MB" "Mbit/s" "fps" "loss%" "cpu-s/Mbit" "RSS MB" "median" "[each round]"
for n in $SESSIONS; do
  row=$(printf "%5s |" "$n")
  slow=
  for side in ours-$proto gst-$proto; do
    # Loss: the worst round; the rest: medians.
    loss=$(for r in $(seq "$ROUNDS"); do field "$side" "$n" "$r" loss_pct; done | sort -g | tail -1)
    mbit_s=$(for r in $(seq "$ROUNDS"); do
               awk -v m="$(field "$side" "$n" "$r" mbit)" -v w="$(field "$side" "$n" "$r" window_s)" \
                   'BEGIN { if (w + 0 > 0) print m / w }'
             done | median)
    f=$(side_median "$side" "$n" fps)
    if [ -n "$loss" ]; then
      row+=$(awk -v m="$mbit_s" -v f="$f" -v l="$loss" -v c="$(side_median "$side" "$n" cpu_s_per_mbit)" \
                 -v r="$(side_median "$side" "$n" rss_kb)" \
                 'BEGIN { printf " %8.2f %5.1f %8.3f %12.6f %8.1f |", m, f, l, c, r / 1024 }')
      # A side whose source fell behind (fewer than 24 of 25 frames a
      # second) delivered less than the other: not like with like.
      awk -v f="$f" 'BEGIN { exit !(f + 0 < 24) }' && slow="  (a side fell behind: not comparable)"
    else
      row+=$(printf " %8s %5s %8s %12s %8s |" - - - - -)
    fi
  done
  ratios=$(for r in $(seq "$ROUNDS"); do
             awk -v a="$(field ours-$proto "$n" "$r" cpu_s_per_mbit)" \
                 -v b="$(field gst-$proto "$n" "$r" cpu_s_per_mbit)" \
                 'BEGIN { if (a != "" && b + 0 > 0) printf "%.2f\n", a / b }'
           done)
  med=$(echo "$ratios" | median)
  each=$(echo $ratios)
  [ -n "$med" ] && med=$(printf "%.2f" "$med")
  echo "$row $(printf "%6s" "${med:--}") [${each}]$slow"
done
done
echo "libdovu's own heap (bytes its code holds, live while $HEAP_SESSIONS sessions play; peak over the daemon's run):"
for proto in $PROTOCOLS; do
  line=${heap[$proto]:-}
  live=$(echo "$line" | tr ' ' '\n' | awk -F= '$1 == "heap_bytes" {print $2}')
  peak=$(echo "$line" | tr ' ' '\n' | awk -F= '$1 == "heap_peak_bytes" {print $2}')
  loss=$(echo "$line" | tr ' ' '\n' | awk -F= '$1 == "loss_pct" {print $2}')
  if [ -n "$live" ] && [ "$live" -ge 0 ] 2>/dev/null; then
    awk -v p="$proto" -v n="$HEAP_SESSIONS" -v l="$live" -v k="$peak" -v x="$loss" \
        'BEGIN { printf "  over %s, N=%d: %.1f kB live, %.1f kB peak (loss %s%%)\n", p, n, l / 1024, k / 1024, x }'
  else
    echo "  over $proto: not measured"
  fi
done
