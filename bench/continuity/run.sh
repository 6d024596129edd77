#!/usr/bin/env bash
# Footage-continuity soak: tavrocam records with its defaults (60 s MP4
# segments, retention at TVR_RECORD_MIN_FREE_MB) into a 1 GB file system on
# a loop device (FAT32 as on the camera's card where the kernel has it, else
# ext4; SOAK_FS=ext4|vfat chooses),
# while faults are injected:
#   - kill -9 every 3 minutes (restarted at once),
#   - the record directory moved away for 20 s (at 40 % of the run),
#   - the file system filled up completely for 30 s (at 70 % of the run).
# It then reports, from record_index listings taken every 10 s (so that
# files deleted by retention still count): recorded seconds over wall
# seconds for video and audio, every gap with its cause, bytes written to
# the device per media byte (file system journal, syncs and indexes
# included), device flushes per minute, and thread_mux CPU.
#
#   run.sh <build dir> [minutes]      (default 10, or $SOAK_MIN)
#
# SOAK_FAULTS=0 records without injecting faults: the write figures then
# count only files that were kept, for comparing one muxer with another.
#
# Needs root (loop device, mount).  The record directory of the build
# (TVR_RECORD_DIR) becomes a symbolic link into the loop file system for
# the run; an existing non-empty record directory makes it skip.
set -uo pipefail
build=$(cd "${1:?build dir}" && pwd) || exit 1
minutes=${2:-${SOAK_MIN:-10}}
bin=$build/bin/tavrocam
index=$build/bin/record_index
here=$(cd "$(dirname "$0")" && pwd)
[ -x "$bin" ] && [ -x "$index" ] || { echo "continuity: tavrocam or record_index not built"; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "continuity: skipped, needs root for the loop file system"; exit 0; }
recdir=$(sed -n 's/^TVR_RECORD_DIR:STRING=//p' "$build/CMakeCache.txt")
[ -n "$recdir" ] || { echo "continuity: TVR_RECORD_DIR unknown"; exit 1; }
restore_dir=""
if [ -e "$recdir" ] || [ -L "$recdir" ]; then
    if [ -d "$recdir" ] && [ ! -L "$recdir" ] && [ -z "$(ls -A "$recdir")" ]; then
        rmdir "$recdir" && restore_dir=1
    else
        echo "continuity: skipped, $recdir exists and is not an empty directory"
        exit 0
    fi
fi

work=$(mktemp -d /tmp/tvr_soak_XXXXXX)
pid="" loop=""
cleanup() {
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -f "$recdir"
    [ -n "$restore_dir" ] && mkdir -p "$recdir"
    mountpoint -q "$work/mnt" && umount "$work/mnt"
    [ -n "$loop" ] && losetup -d "$loop"
    [ -n "${SOAK_KEEP:-}" ] && cp "$work/log" "$SOAK_KEEP" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
truncate -s 1G "$work/fs.img"
# FAT32 where the kernel has it, else ext4.
fs=${SOAK_FS:-$(grep -qw vfat /proc/filesystems && echo vfat || echo ext4)}
if [ "$fs" = ext4 ]; then
    mkfs.ext4 -q -F -m 0 "$work/fs.img" || exit 1  # no reserve: root fills it too
else
    command -v mkfs.vfat >/dev/null || { echo "continuity: mkfs.vfat missing (dosfstools)"; exit 1; }
    mkfs.vfat -F 32 "$work/fs.img" >/dev/null || exit 1
fi
loop=$(losetup -f --show "$work/fs.img") || exit 1
mkdir -p "$work/mnt" "$work/snap" && mount "$loop" "$work/mnt" || exit 1
mkdir "$work/mnt/rec" && mkdir -p "$(dirname "$recdir")" && ln -s "$work/mnt/rec" "$recdir" || exit 1
dev=$(basename "$loop")
# /sys/block/<dev>/stat: field 7 sectors written, field 16 flush requests.
devstat() { awk '{ print $7, $16 }' "/sys/block/$dev/stat"; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
event() { echo "$(now_ms) $*" >>"$work/events"; }

start_daemon() {
    (cd "$work" && exec "$bin" record >>"$work/log" 2>&1) &
    pid=$!
}
tck=$(getconf CLK_TCK)
sample_cpu() {  # pid, thread_mux ticks (user + system) since the thread began
    local t
    for t in /proc/$pid/task/*; do
        [ "$(cat "$t/comm" 2>/dev/null)" = "thread_mux" ] &&
            echo "$pid $(awk '{ print $14 + $15 }' "$t/stat" 2>/dev/null)" >>"$work/cpu"
    done
}
snapshot() {
    "$index" --json "$recdir" >"$work/snap/$(now_ms).json" 2>/dev/null
    local f
    for f in $(cd "$recdir" 2>/dev/null && find . -mindepth 2 -type f -name '*.mp4' | sed 's|^\./||'); do
        grep -q "^$f " "$work/media" 2>/dev/null && continue
        echo "$f $(ffprobe -v error -show_entries packet=size -of csv=p=0 "$recdir/$f" |
                   awk -F, '{ s += $1 } END { print s + 0 }')" >>"$work/media"
    done
}

total=$((minutes * 60))
ballast=0
outage_at=$((total * 4 / 10)) full_at=$((total * 7 / 10))
read -r sec0 flush0 < <(devstat)
t_start=$(now_ms)
event start
start_daemon
faults=${SOAK_FAULTS:-1}
for ((t = 1; t <= total; t++)); do
    sleep 1
    if ((!faults)); then
        if ((t % 10 == 0)); then sample_cpu; snapshot; fi
        continue
    fi
    if ((t % 180 == 0 && t < total)); then
        sample_cpu
        event kill
        kill -9 "$pid"; wait "$pid" 2>/dev/null
        start_daemon
        event restart
    fi
    if ((t == outage_at)); then mv "$work/mnt/rec" "$work/mnt/rec.away"; event outage_start; fi
    if ((t == outage_at + 20)); then mv "$work/mnt/rec.away" "$work/mnt/rec"; event outage_end; fi
    if ((t == full_at)); then
        # Allocated without data where the file system can, the last MB
        # written; the ballast's own writes are left out of the figures.
        read -r b0 _ < <(devstat)
        avail=$(df -B1 --output=avail "$work/mnt" | tail -1 | tr -d ' ')
        fallocate -l $((avail > 1048576 ? avail - 1048576 : 0)) "$work/mnt/ballast" 2>/dev/null
        dd if=/dev/zero of="$work/mnt/ballast2" bs=64k conv=fsync 2>/dev/null
        read -r b1 _ < <(devstat)
        ballast=$((b1 - b0))
        event full_start
    fi
    if ((t == full_at + 30)); then rm -f "$work/mnt/ballast" "$work/mnt/ballast2"; event full_end; fi
    if ((t % 10 == 0)); then sample_cpu; snapshot; fi
done
sample_cpu
kill -TERM "$pid"; wait "$pid" 2>/dev/null; pid=""
t_end=$(now_ms)
event stop
sync
snapshot
read -r sec1 flush1 < <(devstat)

echo "continuity: $fs file system of 1 GB on $dev"
python3 "$here/report.py" "$work" "$t_start" "$t_end" $((sec1 - sec0 - ballast)) $((flush1 - flush0)) "$tck"
