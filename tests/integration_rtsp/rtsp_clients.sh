#!/usr/bin/env bash
# Real RTSP clients against the running camera daemon.
#   rtsp_clients.sh TAVROCAM PORT CHECK
# Starts "TAVROCAM x rtsp" (streaming only), waits for the RTSP port, runs
# one check, and always stops the daemon.  Checks:
#   probe_main|probe_sub    ffprobe reports h264 at the channel's size
#   decode_main|decode_sub  ffmpeg decodes ~fps frames/s for 8 s, with no
#                           decode error
#   gst_main|gst_sub        GStreamer rtspsrc ends cleanly
# Each over UDP, or with the suffix _tcp over RTP interleaved on the RTSP
# connection (probe_main_tcp, ...).
set -u
TAVROCAM=$1
PORT=$2
CHECK=$3
PROTO=udp
case "$CHECK" in *_tcp) PROTO=tcp; CHECK=${CHECK%_tcp} ;; esac
BASE="rtsp://127.0.0.1:${PORT}/tavro_mirel"

WORK=$(mktemp -d /tmp/rtsp_clients.XXXXXX)
DAEMON_LOG="$WORK/daemon.log"
DAEMON_PID=
cleanup() {
    if [ -n "$DAEMON_PID" ] && kill -0 "$DAEMON_PID" 2>/dev/null; then
        kill "$DAEMON_PID" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$DAEMON_PID" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$DAEMON_PID" 2>/dev/null
        wait "$DAEMON_PID" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "---- daemon log (tail) ----"
    tail -n 40 "$DAEMON_LOG"
    exit 1
}

for tool in ffprobe ffmpeg gst-launch-1.0; do
    command -v "$tool" >/dev/null || fail "$tool not installed"
done

"$TAVROCAM" x rtsp >"$DAEMON_LOG" 2>&1 &
DAEMON_PID=$!
up=0
for _ in $(seq 150); do
    kill -0 "$DAEMON_PID" 2>/dev/null || fail "daemon exited"
    if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then up=1; break; fi
    sleep 0.1
done
[ "$up" = 1 ] || fail "RTSP port $PORT not open after 15 s"

# frames decoded by ffmpeg from URL in 8 s of stream; stderr kept in $2
decode_frames() {
    timeout 40 ffmpeg -nostdin -hide_banner -v error -rtsp_transport $PROTO -i "$1" -t 8 \
        -fps_mode passthrough -f null - -progress "$WORK/progress" 2>"$2"
    local rc=$?
    [ $rc = 0 ] || { cat "$2"; fail "ffmpeg exit $rc"; }
    grep '^frame=' "$WORK/progress" | tail -n 1 | cut -d= -f2
}

case "$CHECK" in
probe_main|probe_sub)
    chn=${CHECK#probe_}
    want="h264,1920,1080"; [ "$chn" = sub ] && want="h264,640,360"
    got=$(timeout 30 ffprobe -v error -rtsp_transport $PROTO -select_streams v:0 \
          -show_entries stream=codec_name,width,height -of csv=p=0 "$BASE/$chn" | head -n 1)
    echo "ffprobe $chn: $got"
    [ "$got" = "$want" ] || fail "expected $want"
    ;;
decode_main|decode_sub)
    chn=${CHECK#decode_}
    fps=25; [ "$chn" = sub ] && fps=20
    frames=$(decode_frames "$BASE/$chn" "$WORK/err")
    echo "ffmpeg $chn: $frames frames in 8 s (expected about $((fps * 8)))"
    if [ -s "$WORK/err" ]; then cat "$WORK/err"; fail "decode errors"; fi
    lo=$((fps * 8 * 80 / 100)); hi=$((fps * 8 * 110 / 100))
    [ -n "$frames" ] && [ "$frames" -ge "$lo" ] && [ "$frames" -le "$hi" ] \
        || fail "frame count $frames outside $lo..$hi"
    ;;
gst_main|gst_sub)
    chn=${CHECK#gst_}
    timeout 40 gst-launch-1.0 -q rtspsrc location="$BASE/$chn" protocols=$PROTO ! rtph264depay \
        ! h264parse ! avdec_h264 ! fakesink num-buffers=75 >"$WORK/gst" 2>&1
    rc=$?
    cat "$WORK/gst"
    [ $rc = 0 ] || fail "gst-launch exit $rc"
    if grep -qiE 'error|critical' "$WORK/gst"; then fail "GStreamer reported errors"; fi
    echo "gst $chn: 75 buffers decoded"
    ;;
*)
    fail "unknown check $CHECK"
    ;;
esac
kill -0 "$DAEMON_PID" 2>/dev/null || fail "daemon died during the check"
if grep -q "bind failed" "$DAEMON_LOG"; then fail "RTSP port held by another process"; fi
echo "PASS: $CHECK over $PROTO"
