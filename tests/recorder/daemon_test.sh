#!/usr/bin/env bash
# Whole-daemon recorder tests with tavrocam_test (short segments, its own
# record directory).
#
#   daemon_test.sh segments    <tavrocam_test> <record dir> <segment s>
#       records for a while and checks the finished segments: date
#       directory, names, durations, the gaps between them, and that each
#       decodes cleanly and lasts what its name says.
#   daemon_test.sh kill_repair <tavrocam_test> <record dir> <segment s>
#       kills the daemon with SIGKILL in the middle of a segment, starts it
#       again and checks that the interrupted segment was repaired into its
#       date directory under the repaired name, with its start time and
#       length, that it decodes, and (record_index) that it lacks at most
#       the last second before the kill.
#   daemon_test.sh retention   <tavrocam_test> <record dir> <segment s> <min free MB> <record_index>
#       mounts a 64 MB tmpfs on the record directory (skips, status 77,
#       where mounting is refused), fills it to just above the daemon's
#       minimum of free space and records: the oldest segments are deleted
#       one by one, the newest are always there; then the file system is
#       filled completely and recording goes on.
set -uo pipefail
case_name=$1 bin=$2 dir=$3 seg=$4 min_free_mb=${5:-0} record_index=${6:-record_index}
work=$(mktemp -d /tmp/tvr_rec_daemon_XXXXXX)
pid=""
mounted=""
fail() { echo "FAIL: $*"; [ -f "$work/log" ] && tail -n 30 "$work/log"; exit 1; }
cleanup() {
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    [ -n "$mounted" ] && umount "$dir"
    rm -rf "$work"
}
trap cleanup EXIT

start_daemon() {  # output of this run goes to $work/log (the previous run's to log.1)
    [ -f "$work/log" ] && mv "$work/log" "$work/log.1"
    (cd "$work" && exec "$bin" record >"$work/log" 2>&1) &
    pid=$!
}
kill_daemon() {
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=""
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
wait_for() {  # wait_for <seconds> <test command...>
    local t=$1; shift
    for _ in $(seq $((t * 10))); do "$@" && return 0; sleep 0.1; done
    return 1
}

rm -rf "$dir"
mkdir -p "$dir" || fail "cannot create $dir"
limit_ms=$((seg * 1000 + 100))

case $case_name in
segments)
    start_daemon
    # Two complete segments: each holds seg s + 100 ms up to the next I frame
    # (GOP 2 s), and the next begins one GOP after the closing frame.
    filed() { [ "$(find "$dir" -mindepth 2 -type f | wc -l)" -ge 2 ]; }
    wait_for $((2 * (seg + 4) + 6)) filed
    kill_daemon
    files=$(cd "$dir" && find . -mindepth 2 -type f | sort)
    n=$(echo "$files" | grep -c . || true)
    [ "$n" -ge 2 ] || fail "expected 2 or more finished segments, found $n: $files"
    prev_end=""
    for f in $files; do
        f=${f#./}
        [[ $f =~ ^([0-9]{8})/tavro_([0-9]{6})_([0-9]{8,})\.mp4$ ]] || fail "bad name $f"
        day=${BASH_REMATCH[1]} hms=${BASH_REMATCH[2]} ms=$((10#${BASH_REMATCH[3]}))
        [ "$day" = "$(date +%Y%m%d)" ] || [ "$day" = "$(date -d yesterday +%Y%m%d)" ] ||
            fail "$f: date directory is not today's"
        [ "$ms" -ge "$limit_ms" ] && [ "$ms" -le $((limit_ms + 2000)) ] ||
            fail "$f: duration $ms ms outside [$limit_ms, $((limit_ms + 2000))]"
        start=$(hms_sec "$hms")
        if [ -n "$prev_end" ]; then
            gap=$((start - prev_end))
            [ "$gap" -lt -43200 ] && gap=$((gap + 86400))  # across midnight
            # The closing I frame and one GOP lie between two segments.
            [ "$gap" -ge 0 ] && [ "$gap" -le 4 ] || fail "$f: starts $gap s after the previous one ended"
        fi
        prev_end=$((start + ms / 1000))
        decodes "$dir/$f" || fail "$f does not decode cleanly"
        streams=$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$dir/$f" | sort | tr '\n' ' ')
        [ "$streams" = "audio video " ] || fail "$f: streams '$streams', expected audio and video"
        got=$(media_ms "$dir/$f")
        diff=$((got - ms)); diff=${diff#-}
        [ "$diff" -le 300 ] || fail "$f: container says $got ms, name says $ms ms"
        # Frames the 10 ms poll missed in the one-entry queue (25 fps).  A
        # sanitizer build on a busy machine misses a few in a hundred; a
        # poll slower than the frame rate would miss a fifth or more.
        frames=$(ffprobe -v error -select_streams v -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$dir/$f")
        [ "$((frames * 100))" -ge "$((ms / 40 * 88))" ] || fail "$f: $frames video frames in $ms ms"
        echo "ok $f ($got ms, $frames video frames)"
    done
    top=$(cd "$dir" && find . -maxdepth 1 -type f | grep -v '/recording_now_tmp\.mp4' || true)
    [ -z "$top" ] || fail "unexpected files at the top of the record directory: $top"
    ;;
kill_repair)
    start_daemon
    wait_for 15 test -e "$dir/recording_now_tmp.mp4" || fail "no segment was started"
    t_start=$(now)
    sleep 3
    t_kill=$(now)
    kill_daemon
    touch "$work/killed"
    recorded_ms=$(awk -v a="$t_start" -v b="$t_kill" 'BEGIN { printf "%d", (b - a) * 1000 }')
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
    d=$((ms - recorded_ms)); d=${d#-}
    [ "$d" -le 1500 ] || fail "$f: $ms ms repaired, $recorded_ms ms recorded before the kill"
    decodes "$dir/$f" || fail "$f does not decode cleanly"
    # What the repair kept, measured on the file's own first-frame time: the
    # frames up to the kill, less at most a second.
    "$record_index" --json "$dir" >"$work/index.json" || fail "record_index failed"
    loss=$(python3 - "$work/index.json" "$t_kill" <<'PY'
import json, sys
f = [f for f in json.load(open(sys.argv[1]))["files"] if "/" in f["path"]][0]
assert f["indexed"] and f["start_wall_ms"] > 0, f
print(int(float(sys.argv[2]) * 1000) - (f["start_wall_ms"] + f["length_ms"]))
PY
) || fail "record_index: $(cat "$work/index.json")"
    [ "$loss" -ge 0 ] && [ "$loss" -le 1000 ] || fail "$f: $loss ms lost before the kill"
    # Only the second run's own segment (if it got that far) is at the top.
    leftover=$(cd "$dir" && find . -maxdepth 1 -type f ! -newer "$work/killed" | sort)
    [ -z "$leftover" ] || fail "files of the killed run left at the top: $leftover"
    echo "ok $f: $ms ms repaired, $recorded_ms ms recorded before the kill, $loss ms lost"

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
    # The first segment file cannot be created, and later three video writes
    # fail in a row: the daemon keeps running, the short segment is filed,
    # and recording resumes at the next I frame.
    export OZI_FAIL="ozi_mux_start:1,ozi_mux_add_video:@50/3"
    start_daemon
    unset OZI_FAIL
    filed() { [ "$(find "$dir" -mindepth 2 -type f | wc -l)" -ge 2 ]; }
    wait_for $((2 * (seg + 4) + 6)) filed || fail "recording did not resume after the faults"
    grep -q "ozi_mux_start failed!" "$work/log" || fail "no ozi_mux_start failure logged"
    files=$(cd "$dir" && find . -mindepth 2 -type f | sort)
    first=$(echo "$files" | head -1) second=$(echo "$files" | sed -n 2p)
    ms1=$((10#$(echo "$first" | sed -E 's/.*_([0-9]+)\.mp4/\1/')))
    ms2=$((10#$(echo "$second" | sed -E 's/.*_([0-9]+)\.mp4/\1/')))
    # 50 written frames at 40 ms, then the third failure closes the segment.
    [ "$ms1" -ge 1500 ] && [ "$ms1" -lt "$limit_ms" ] || fail "$first: $ms1 ms, expected a short segment"
    [ "$ms2" -ge "$limit_ms" ] || fail "$second: $ms2 ms, expected a full segment"
    for f in $first $second; do decodes "$dir/$f" || fail "$f does not decode cleanly"; done
    echo "ok $first ($ms1 ms, closed by write failures), $second ($ms2 ms)"

    # The record directory disappears at run time and comes back.
    rm -rf "$dir"
    sleep $((seg + 4))
    kill -0 "$pid" 2>/dev/null || fail "the daemon died without its record directory"
    [ ! -e "$dir" ] || fail "the recorder created the record directory again"
    mkdir -p "$dir"
    back() { [ "$(find "$dir" -mindepth 2 -type f | wc -l)" -ge 1 ]; }
    wait_for $((2 * (seg + 4) + 6)) back || fail "recording did not resume in the new directory"
    f=$(cd "$dir" && find . -mindepth 2 -type f | sort | head -1)
    decodes "$dir/$f" || fail "$f does not decode cleanly"
    echo "ok ${f#./} recorded after the directory came back"
    kill_daemon
    ;;
retention)
    if ! mount -t tmpfs -o size=64m tvr_rec_test "$dir" 2>"$work/mount.err"; then
        echo "SKIP: cannot mount a tmpfs on $dir ($(cat "$work/mount.err")); needs root"
        exit 77
    fi
    mounted=1
    avail_kb() { df -k --output=avail "$dir" | tail -1 | tr -d ' '; }
    # Ballast (not a record file: retention leaves it alone) so that about
    # three segments fit above the minimum.
    fallocate -l $(( ($(avail_kb) - min_free_mb * 1024 - 700) * 1024 )) "$dir/ballast" ||
        fail "cannot place the ballast"
    start_daemon
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
    if [ -n "$record_index" ]; then
        "$record_index" --json "$dir" >"$work/index.json" || fail "record_index failed"
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
    wait_for $((3 * (seg + 4) + 10)) resumed || fail "recording stopped on a full file system"
    kill -0 "$pid" 2>/dev/null || fail "the daemon died on a full file system"
    last=$(grep -o "save record file '[^']*'" "$work/log" | tail -1 | sed -E "s/.*'(.*)'/\1/")
    [ -f "$last" ] && decodes "$last" || fail "$last, filed after the disk filled, does not play"
    echo "ok recording went on after the file system filled up: $last"
    kill_daemon
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo PASS
