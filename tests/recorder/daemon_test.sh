#!/usr/bin/env bash
# Whole-daemon recorder tests with tavrocam_test (short segments, its own
# record directory).  Listings come from record_index --json.
#
#   daemon_test.sh segments    <tavrocam_test> <record dir> <segment s> <record_index>
#       records three segments, stops with SIGTERM and checks the files:
#       names, durations, no gap between consecutive files, audio covering
#       each file within one AAC frame at both ends and running on with the
#       video across files, clean decoding; exit status 0, nothing left at
#       the temporary path.
#   daemon_test.sh kill_repair <...>
#       kills the daemon with SIGKILL in the middle of a segment, starts it
#       again and checks that the interrupted segment was repaired into its
#       date directory under the repaired name, with its start time and
#       length (record_index), that it decodes, and that it lacks at most
#       the last second of what was written before the kill.
#   daemon_test.sh storage_faults <...>
#       a failing ozi_mux_start, three failed video writes, a failing
#       ozi_mux_stop, then the record directory gone for longer than the
#       encoder can lend audio frames: playable files throughout, and
#       continuous audio once the directory is back.
#   daemon_test.sh signals <...>
#       a second stop signal ends the daemon at once; a fatal condition
#       in a worker exits with a non-zero status.
#   daemon_test.sh retention <tavrocam_test> <record dir> <segment s> <record_index> <min free MB>
#       mounts a 64 MB tmpfs on the record directory (skips, status 77,
#       where mounting is refused), fills it to just above the daemon's
#       minimum of free space and records: the oldest segments are deleted
#       one by one, the newest are always there; then the file system is
#       filled completely and recording goes on.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../support/daemon.sh"
case_name=$1 bin=$2 dir=$3 seg=$4 index=${5:-} min_free_mb=${6:-0}
work=$(mktemp -d /tmp/tvr_rec_daemon_XXXXXX)
mounted=""
fail() { echo "FAIL: $*"; [ -f "$work/log" ] && tail -n 30 "$work/log"; exit 1; }
cleanup() {
    daemon_kill
    [ -n "$mounted" ] && umount "$dir"
    rm -rf "$work"
}
trap cleanup EXIT

record() { cd "$work" && exec "$bin" record; }
start_daemon() {  # output of this run goes to $work/log (the previous run's to log.1)
    [ -f "$work/log" ] && mv "$work/log" "$work/log.1"
    daemon_start "$work/log" record
}
kill_daemon() {
    daemon_kill
    sanitizer_check
}
# stop_daemon <signal>: sends it, waits for the end; sets $status and $stop_ms.
stop_daemon() {
    local t0
    t0=$(now)
    daemon_stop "$1"
    status=$DAEMON_STATUS
    stop_ms=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%d", (b - a) * 1000 }')
    sanitizer_check
}
sanitizer_check() {
    # Sanitizer builds: a report in the daemon's output fails the test.
    if grep -qE 'ThreadSanitizer|AddressSanitizer|LeakSanitizer|runtime error:' "$work/log"; then
        grep -m1 -A20 -E 'ThreadSanitizer|AddressSanitizer|LeakSanitizer|runtime error:' "$work/log"
        fail "sanitizer report in the daemon's output"
    fi
}
now() { date +%s.%N; }
# Seconds since midnight of an HHMMSS string.
hms_sec() { echo $((10#${1:0:2} * 3600 + 10#${1:2:2} * 60 + 10#${1:4:2})); }
# Duration of a media file in ms, from the container.
media_ms() {
    ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$1" |
        awk '{ printf "%d", $1 * 1000 }'
}
decodes() {
    local err
    err=$(ffmpeg -nostdin -v error -i "$1" -f null - 2>&1)
    [ -z "$err" ] || { echo "$err" | head -5; return 1; }
}

# check_listing <first> <last> <min files>: checks files <first>..<last>
# (1-based, in time order; last 0 = to the end) of record_index's listing:
# indexed, consecutive files abutting within one frame (40 ms), audio
# starting and ending within one AAC frame (128 ms) of the video, audio
# without holes (its frames fill its span), and the audio of consecutive
# files running on within one frame (audio and video stay in step across
# files).  Prints one line per file.
check_listing() {
    "$index" --json "$dir" >"$work/index.json" || fail "record_index failed"
    python3 - "$work/index.json" "$1" "$2" "$3" <<'PY' || fail "listing check failed"
import json, sys
d = json.load(open(sys.argv[1]))
first, last, need = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
# Filed footage only: the segment in progress sits at the top.
files = [f for f in d["files"] if "/" in f["path"]]
files = files[first - 1:(last if last > 0 else None)]
bad = []
if len(files) < need:
    bad.append("%d files, expected %d or more" % (len(files), need))
for i, f in enumerate(files):
    p, v, a = f["path"], f["video"], f["audio"]
    print("%s: start %d, video %d ms (%d frames), audio %d..%d ms (%d frames), gap %s" % (
        p, f["start_wall_ms"] % 100000, f["length_ms"], v["frames"], a["first_ms"], a["end_ms"],
        a["frames"], f["gap_to_next_ms"]))
    if not f["indexed"]:
        bad.append(p + ": no index")
        continue
    if a["frames"] == 0:
        bad.append(p + ": no audio")
        continue
    if not 0 <= a["first_ms"] <= 128:
        bad.append(p + ": audio starts %d ms after the video" % a["first_ms"])
    if abs(a["end_ms"] - f["length_ms"]) > 128:
        bad.append(p + ": audio ends %d ms from the video's end" % (a["end_ms"] - f["length_ms"]))
    hole = (a["end_ms"] - a["first_ms"]) - a["frames"] * 128
    if abs(hole) > 40:
        bad.append(p + ": audio span and frames differ by %d ms" % hole)
    if i + 1 < len(files):
        n = files[i + 1]
        if f["gap_to_next_ms"] is None or abs(f["gap_to_next_ms"]) > 40:
            bad.append(p + ": gap to the next file %s ms" % f["gap_to_next_ms"])
        elif n["audio"]["frames"]:
            step = (n["start_wall_ms"] + n["audio"]["first_ms"]) - (f["start_wall_ms"] + a["end_ms"])
            if abs(step) > 40:
                bad.append(p + ": audio jumps %d ms into the next file" % step)
for b in bad:
    print("BAD " + b)
sys.exit(1 if bad else 0)
PY
}

[ -n "$index" ] || fail "no record_index given"
rm -rf "$dir"
mkdir -p "$dir" || fail "cannot create $dir"
limit_ms=$((seg * 1000 + 100))

case $case_name in
segments)
    start_daemon
    # Three whole segments: each holds seg s + 100 ms up to the next I frame
    # (GOP 2 s); the closing I frame opens the next one.
    filed() { [ "$(find "$dir" -mindepth 2 -type f | wc -l)" -ge 3 ]; }
    wait_for $((3 * (seg + 2) + 10)) filed || fail "three segments were not filed"
    stop_daemon TERM
    [ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
    grep -q "tavrocam stopped" "$work/log" || fail "no orderly stop"
    echo "ok SIGTERM: exit status 0 after $stop_ms ms"
    top=$(cd "$dir" && find . -maxdepth 1 -type f)
    [ -z "$top" ] || fail "files left at the top of the record directory: $top"
    check_listing 1 0 4
    # Every captured frame is in the files: each file holds length x 25
    # frames, less the pictures the sensor dropped because the encoder was
    # late (the platform logs them; a loaded machine makes a few).  The
    # recorder itself loses none: it would log the step in the queue's order.
    ! grep -q "lost in the queue" "$work/log" || fail "$(grep -m1 "lost in the queue" "$work/log")"
    drops=$(sed -n 's/^\[vi\] chn 0: \([0-9]*\) pictures dropped.*/\1/p' "$work/log" |
        awk '{ n += $1 } END { print n + 0 }')
    python3 - "$work/index.json" "$drops" <<'PY' || fail "recorded files miss frames"
import json, sys
drops = int(sys.argv[2])
filed = [f for f in json.load(open(sys.argv[1]))["files"] if "/" in f["path"]]
missing = 0
for f in filed:
    extra = f["video"]["frames"] - round(f["length_ms"] / 40)
    if extra > 1:
        print("BAD %s: %d frames more than its %d ms hold" % (f["path"], extra, f["length_ms"]))
        sys.exit(1)
    missing += max(0, -extra)
print("%d frames missing from the files, %d pictures dropped by the sensor" % (missing, drops))
sys.exit(1 if missing > drops + 1 else 0)
PY
    echo "ok every file holds its duration x 25 frames, less the sensor's drops"
    files=$(cd "$dir" && find . -mindepth 2 -type f | sort)
    n=$(echo "$files" | grep -c .)
    i=0
    for f in $files; do
        f=${f#./}
        i=$((i + 1))
        [[ $f =~ ^([0-9]{8})/tavro_([0-9]{6})_([0-9]{8,})\.mp4$ ]] || fail "bad name $f"
        day=${BASH_REMATCH[1]} ms=$((10#${BASH_REMATCH[3]}))
        [ "$day" = "$(date +%Y%m%d)" ] || [ "$day" = "$(date -d yesterday +%Y%m%d)" ] ||
            fail "$f: date directory is not today's"
        # The last file was closed by the stop, after its newest frame.
        if [ "$i" -lt "$n" ]; then
            [ "$ms" -ge "$limit_ms" ] && [ "$ms" -le $((limit_ms + 2000)) ] ||
                fail "$f: duration $ms ms outside [$limit_ms, $((limit_ms + 2000))]"
        fi
        decodes "$dir/$f" || fail "$f does not decode cleanly"
        got=$(media_ms "$dir/$f")
        # A decoder sees the same frames: the file's length at 25 frames a
        # second, less the sensor's drops (counted above, over all files).
        frames=$(ffprobe -v error -select_streams v -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$dir/$f")
        [ "$((frames + drops + 1))" -ge "$((ms / 40))" ] ||
            fail "$f: $frames video frames in $ms ms ($drops pictures dropped by the sensor)"
        echo "ok $f ($got ms, $frames video frames)"
    done
    ;;
kill_repair)
    start_daemon
    wait_for 15 test -e "$dir/recording_now_tmp.mp4" || fail "no segment was started"
    t_start=$(now)
    # The main channel's stream is 2048 kbit/s, 256 bytes a ms, at constant
    # bit rate: sizes measure the stream's time whatever the machine's pace.
    # Killed with a second and a half written: inside the first picture
    # group (50 frames, 512,000 bytes), so in the middle of the segment even
    # where a sanitizer build captures too few frames for 3 s and closes the
    # segment at that group's end.
    tmp_bytes() { stat -c %s "$dir/recording_now_tmp.mp4" 2>/dev/null || echo 0; }
    mid_segment() { [ "$(tmp_bytes)" -ge 384000 ]; }
    wait_for 60 mid_segment || fail "the segment did not grow to 1.5 seconds ($(tmp_bytes) bytes)"
    kill_daemon
    touch "$work/killed"
    written=$(tmp_bytes)
    start_hms=$(date -d "@${t_start%.*}" +%H%M%S)
    start_day=$(date -d "@${t_start%.*}" +%Y%m%d)
    # The second start repairs before its first segment begins.
    start_daemon
    wait_for 10 grep -q "mux open success" "$work/log" || fail "second start did not open the muxer"
    kill_daemon
    files=$(cd "$dir" && find . -mindepth 2 -type f | sort)
    [ "$(echo "$files" | grep -c .)" -eq 1 ] || fail "expected one repaired file, found: $files"
    f=${files#./}
    [[ $f =~ ^([0-9]{8})/([0-9]{6})_([0-9]{8,})\.mp4$ ]] || fail "bad repaired name $f"
    day=${BASH_REMATCH[1]} hms=${BASH_REMATCH[2]} ms=$((10#${BASH_REMATCH[3]}))
    [ "$day" = "$start_day" ] || fail "$f: date directory, expected $start_day"
    d=$(($(hms_sec "$hms") - $(hms_sec "$start_hms"))); d=${d#-}
    [ "$d" -gt 43200 ] && d=$((86400 - d))
    [ "$d" -le 1 ] || fail "$f: starts at $hms, the segment began at $start_hms"
    decodes "$dir/$f" || fail "$f does not decode cleanly"
    # The name's length is the file's own (record_index, within a frame).
    "$index" --json "$dir" >"$work/index.json" || fail "record_index failed"
    python3 - "$work/index.json" "$ms" <<'PY' || fail "record_index: $(cat "$work/index.json")"
import json, sys
f = [f for f in json.load(open(sys.argv[1]))["files"] if "/" in f["path"]][0]
assert f["indexed"] and f["start_wall_ms"] > 0, f
assert abs(f["length_ms"] - int(sys.argv[2])) <= 40, (f["length_ms"], sys.argv[2])
PY
    # What the repair kept: everything written up to the kill (audio and
    # video samples, against the segment file's size), less at most a
    # second of the stream.  The few header bytes count as lost.
    kept=$(ffprobe -v error -show_entries packet=size -of csv=p=0 "$dir/$f" | awk '{ s += $1 } END { printf "%d", s }')
    lost=$((written - kept))
    [ "$lost" -ge 0 ] || fail "$f: $kept bytes of samples, more than the $written written"
    loss=$((lost / 256))
    [ "$loss" -le 1000 ] || fail "$f: $lost bytes ($loss ms) of $written written lost at the kill"
    # Only the second run's own segment (if it got that far) is at the top.
    leftover=$(cd "$dir" && find . -maxdepth 1 -type f ! -newer "$work/killed" | sort)
    [ -z "$leftover" ] || fail "files of the killed run left at the top: $leftover"
    echo "ok $f: $ms ms repaired, $written bytes written before the kill, $lost bytes ($loss ms) lost"

    # A finished file left at the temporary path (died between closing and
    # filing it) is filed at the next start, not deleted.
    rm -f "$dir"/recording_now_tmp.mp4*
    cp "$dir/$f" "$dir/recording_now_tmp.mp4"
    start_daemon
    wait_for 10 grep -q "mux open success" "$work/log" || fail "third start did not open the muxer"
    kill_daemon
    refiled=$(cd "$dir" && find . -mindepth 2 -type f -name 'tavro_*' | sort)
    [ "$(echo "$refiled" | grep -c .)" -eq 1 ] || fail "finished file at the temporary path not filed: $refiled"
    cmp -s "$dir/$refiled" "$dir/$f" || fail "$refiled differs from the file left at the temporary path"
    echo "ok finished file at the temporary path filed as ${refiled#./}"
    ;;
storage_faults)
    # The first segment file cannot be created, later three video writes
    # fail in a row, and the stop of the next segment cannot write its
    # index: the daemon keeps running, the short segment is filed, the one
    # whose stop failed is repaired from its side files, and recording goes
    # on.
    export OZI_FAIL="ozi_mux_start:1,ozi_mux_add_video:@50/3,ozi_mux_stop:@1/1"
    start_daemon
    unset OZI_FAIL
    filed() { [ "$(find "$dir" -mindepth 2 -type f | wc -l)" -ge 3 ]; }
    wait_for $((3 * (seg + 2) + 10)) filed || fail "recording did not go on after the faults"
    grep -q "ozi_mux_start failed!" "$work/log" || fail "no ozi_mux_start failure logged"
    grep -q "ozi_mux_stop failed" "$work/log" || fail "no ozi_mux_stop failure logged"
    files=$(cd "$dir" && find . -mindepth 2 -type f | sort)
    first=$(echo "$files" | head -1) second=$(echo "$files" | sed -n 2p)
    ms1=$((10#$(echo "$first" | sed -E 's/.*_([0-9]+)\.mp4/\1/')))
    ms2=$((10#$(echo "$second" | sed -E 's/.*_([0-9]+)\.mp4/\1/')))
    # 50 written frames at 40 ms, then the third failure closes the segment.
    [ "$ms1" -ge 1500 ] && [ "$ms1" -lt "$limit_ms" ] || fail "$first: $ms1 ms, expected a short segment"
    # Repaired: what the side files held, written at least once a second.
    [ "$ms2" -ge $((limit_ms - 1100)) ] || fail "$second: $ms2 ms, expected a repaired full segment"
    for f in $files; do decodes "$dir/$f" || fail "$f does not decode cleanly"; done
    echo "ok $first ($ms1 ms, closed by write failures), $second ($ms2 ms, repaired after a failed stop)"
    check_listing 2 0 2

    # The record directory disappears at run time for longer than the
    # encoder lends audio frames (64 frames, 8.2 s), and comes back.
    failed_starts() { grep -c "ozi_mux_start failed!" "$work/log"; }
    before=$(failed_starts)
    rm -rf "$dir"
    # Each I frame (every 2 s) tries a new segment and fails: six failures
    # span at least 10 s of capture.
    outage() { [ "$(failed_starts)" -ge $((before + 6)) ]; }
    wait_for 60 outage || fail "no failed segment starts while the directory was gone"
    kill -0 "$DAEMON_PID" 2>/dev/null || fail "the daemon died without its record directory"
    [ ! -e "$dir" ] || fail "the recorder created the record directory again"
    mkdir -p "$dir"
    back() { [ "$(find "$dir" -mindepth 2 -type f | wc -l)" -ge 2 ]; }
    wait_for $((2 * (seg + 2) + 10)) back || fail "recording did not resume in the new directory"
    for f in $(cd "$dir" && find . -mindepth 2 -type f); do
        decodes "$dir/$f" || fail "$f does not decode cleanly"
    done
    # The files after the outage carry continuous audio.
    check_listing 1 0 2
    echo "ok recording and audio resumed after the directory came back"
    kill_daemon
    ;;
retention)
    if ! mount -t tmpfs -o size=64m tvr_rec_test "$dir" 2>"$work/mount.err"; then
        echo "SKIP: cannot mount a tmpfs on $dir ($(cat "$work/mount.err")); needs root"
        exit 77
    fi
    mounted=1
    avail_kb() { df -k --output=avail "$dir" | tail -1 | tr -d ' '; }
    start_daemon
    # Ballast (not a record file: retention leaves it alone) so that about
    # three more segments, of the size of the first, fit above the minimum.
    wait_for $((2 * (seg + 4) + 10)) grep -q "save record file" "$work/log" || fail "no segment filed"
    first=$(grep -o "save record file '[^']*'" "$work/log" | head -1 | sed -E "s/.*'(.*)'/\1/")
    seg_kb=$(( $(stat -c %s "$first") / 1024 ))
    fallocate -l $(( ($(avail_kb) - min_free_mb * 1024 - seg_kb * 7 / 2) * 1024 )) "$dir/ballast" ||
        fail "cannot place the ballast"
    deleted() { [ "$(grep -c 'retention: deleted' "$work/log")" -ge "$1" ]; }
    wait_for $((8 * (seg + 4) + 20)) deleted 3 || fail "no three segments deleted; $(df -k "$dir" | tail -1)"
    # The oldest went, in order; what is left is newer than all of them.
    gone=$(grep -o 'retention: deleted [^ ]*' "$work/log" | awk '{print $3}' | sed "s|^$dir/||")
    kept=$(cd "$dir" && find . -mindepth 2 -type f | sed 's|^\./||' | sort)
    [ -n "$kept" ] || fail "nothing left in the record directory"
    key() { sed -E 's|/(tavro_)?|/|'; }
    [ "$(echo "$gone" | key)" = "$(echo "$gone" | key | sort)" ] || fail "deleted out of order: $gone"
    newest_gone=$(echo "$gone" | key | sort | tail -1)
    oldest_kept=$(echo "$kept" | key | sort | head -1)
    [[ "$newest_gone" < "$oldest_kept" ]] || fail "deleted $newest_gone, but $oldest_kept is older"
    last=$(grep -o "save record file '[^']*'" "$work/log" | tail -1 | sed -E "s/.*'(.*)'/\1/")
    [ -f "$last" ] || fail "the newest segment $last is gone"
    for f in $kept; do decodes "$dir/$f" || fail "$f does not decode cleanly"; done
    if [ -n "$index" ]; then
        "$index" --json "$dir" >"$work/index.json" || fail "record_index failed"
        python3 - "$work/index.json" <<'PY' || fail "record_index: $(cat "$work/index.json")"
import json, sys
files = [f for f in json.load(open(sys.argv[1]))["files"] if "/" in f["path"]]
assert all(f["indexed"] for f in files), "a filed segment without index"
# A lost segment would show as a gap of a whole segment.
gaps = [f["gap_to_next_ms"] for f in files[:-1]]
assert all(g is not None and g <= 2100 for g in gaps), gaps
PY
    fi
    echo "ok $(echo "$gone" | wc -l) oldest segments deleted, $(echo "$kept" | wc -l) kept"

    # The card fills up completely: recording goes on, making room itself.
    saved=$(grep -c "save record file" "$work/log")
    fallocate -l $(( $(avail_kb) * 1024 )) "$dir/ballast2" 2>/dev/null ||
        dd if=/dev/zero of="$dir/ballast2" bs=64k 2>/dev/null
    resumed() { [ "$(grep -c "save record file" "$work/log")" -ge $((saved + 2)) ]; }
    wait_for $((4 * (seg + 4) + 10)) resumed || fail "recording stopped on a full file system"
    kill -0 "$DAEMON_PID" 2>/dev/null || fail "the daemon died on a full file system"
    # Each segment start now deletes what the last one filed; what is left
    # plays.
    kill_daemon
    for f in $(cd "$dir" && find . -mindepth 2 -type f); do
        decodes "$dir/$f" || fail "$f, filed after the disk filled, does not play"
    done
    echo "ok recording went on after the file system filled up"
    ;;
signals)
    # A second stop signal while the first is handled ends the daemon at
    # once, with 128 + the signal (leaving its threads behind, which a
    # ThreadSanitizer build would report as leaked).
    saved_tsan=${TSAN_OPTIONS-}
    export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}report_thread_leaks=0"
    start_daemon
    TSAN_OPTIONS=$saved_tsan
    wait_for 15 test -e "$dir/recording_now_tmp.mp4" || fail "no segment was started"
    kill -TERM "$DAEMON_PID"
    stop_daemon INT
    [ "$status" -eq 130 ] || [ "$status" -eq 143 ] || fail "exit status $status after two signals"
    echo "ok two signals: exit status $status"
    # A fatal condition in a worker (audio capture cannot start) ends the
    # daemon with a non-zero status.
    export OZI_FAIL="ozi_ai_start_capture:1"
    start_daemon
    unset OZI_FAIL
    wait "$DAEMON_PID"
    status=$?
    DAEMON_PID=
    grep -q "tvr_mirel_aenc_start failed" "$work/log" || fail "no fatal line"
    [ "$status" -ne 0 ] || fail "a fatal exit reported success"
    echo "ok fatal condition: exit status $status"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo PASS
