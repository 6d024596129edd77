#!/usr/bin/env python3
"""Figures of the footage-continuity soak (run.sh), from its work directory.

   report.py <work dir> <start ms> <end ms> <sectors written> <flushes> <clock ticks/s>
"""
import glob
import json
import os
import sys

work, t_start, t_end = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
sectors, flushes, tck = int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])

# Every filed file ever listed; files deleted by retention count too.
files = {}
for snap in sorted(glob.glob(os.path.join(work, "snap", "*.json")),
                   key=lambda p: int(os.path.basename(p).split(".")[0])):
    try:
        d = json.load(open(snap))
    except (OSError, ValueError):
        continue
    for f in d["files"]:
        if "/" in f["path"] and (f["indexed"] or f["path"] not in files):
            files[f["path"]] = f
files = sorted((f for f in files.values() if f["indexed"]), key=lambda f: f["start_wall_ms"])

events = []
for line in open(os.path.join(work, "events")):
    ms, kind = line.split()
    events.append((int(ms), kind))
# Fault windows: a kill lasts until its restart; outages and the full disk
# from their start to their end.
windows = []
opened = {}
for ms, kind in events:
    if kind == "kill":
        opened["kill"] = ms
    elif kind == "restart":
        windows.append(("kill -9", opened.pop("kill"), ms))
    elif kind.endswith("_start"):
        opened[kind[:-6]] = ms
    elif kind.endswith("_end"):
        name = {"outage": "record directory away", "full": "file system full"}[kind[:-4]]
        windows.append((name, opened.pop(kind[:-4]), ms))

def cause(g0, g1, slack=2000):
    hits = [w[0] for w in windows if w[1] <= g1 + slack and w[2] >= g0 - slack]
    return ", ".join(sorted(set(hits))) if hits else None

def span(f, track):
    t = f[track]
    return t["end_ms"] - t["first_ms"] if t["frames"] else 0

wall = t_end - t_start
video = sum(f["length_ms"] for f in files)
audio = sum(span(f, "audio") for f in files)
gaps = []
if files:
    gaps.append((t_start, files[0]["start_wall_ms"], "start-up (encoders, first I frame)"))
for a, b in zip(files, files[1:]):
    g0 = a["start_wall_ms"] + a["length_ms"]
    g = b["start_wall_ms"] - g0
    # The frame clock measures exactly when both files carry it.
    if a["origin_ts_ms"] and b["origin_ts_ms"]:
        on_frames = (b["origin_ts_ms"] + b["video"]["first_ms"]) - (a["origin_ts_ms"] + a["video"]["end_ms"])
        if abs(on_frames - g) <= 2000:
            g = on_frames
    if g > 40:
        gaps.append((g0, g0 + g, cause(g0, g0 + g)))
if files:
    last = files[-1]["start_wall_ms"] + files[-1]["length_ms"]
    gaps.append((last, t_end, "stop (SIGTERM)"))

if windows:
    print("continuity: %.1f min wall, %d files (%d kill -9, one 20 s directory outage, one 30 s full file system)"
          % (wall / 60000, len(files), sum(1 for w in windows if w[0] == "kill -9")))
else:
    print("continuity: %.1f min wall, %d files, no faults injected" % (wall / 60000, len(files)))
print("continuity: video recorded %.1f s of %.1f s wall = %.2f %%" % (video / 1000, wall / 1000, 100 * video / wall))
print("continuity: audio recorded %.1f s of %.1f s wall = %.2f %%" % (audio / 1000, wall / 1000, 100 * audio / wall))
frames = sum(f["video"]["frames"] for f in files)
print("continuity: %d video frames in the files, %d expected at 25 fps = %.2f %%"
      % (frames, video // 40, 100 * frames / max(1, video // 40)))
faulted = 0
for g0, g1, c in gaps:
    print("continuity: gap at %7.1f s, %6d ms: %s" % ((g0 - t_start) / 1000, g1 - g0, c or "NO FAULT"))
    if c:
        faulted += g1 - g0
print("continuity: outside the faults %.1f s of %.1f s recorded = %.2f %%"
      % (video / 1000, (wall - faulted) / 1000, 100 * video / max(1, wall - faulted)))
for name, k0, k1 in windows:
    if name != "kill -9":
        continue
    # Footage lost to the kill: from the end of the file it interrupted to the kill.
    before = [f for f in files if f["start_wall_ms"] < k0]
    if before:
        end = before[-1]["start_wall_ms"] + before[-1]["length_ms"]
        print("continuity: kill -9 at %.1f s: last %d ms before it lost" % ((k0 - t_start) / 1000, k0 - end))

media = {}
try:
    for line in open(os.path.join(work, "media")):
        p, n = line.split()
        media[p] = int(n)
except OSError:
    pass
mbytes = sum(media.get(f["path"], 0) for f in files)
missing = sum(1 for f in files if f["path"] not in media)
if mbytes:
    print("continuity: %d bytes written to the device for %d media bytes = %.4f bytes per media byte%s"
          % (sectors * 512, mbytes, sectors * 512 / mbytes,
             " (%d files not measured)" % missing if missing else ""))
print("continuity: %d device flushes = %.1f per minute (syncs and file-system journal commits)"
      % (flushes, flushes * 60000 / wall))
cpu = {}
try:
    for line in open(os.path.join(work, "cpu")):
        pid, ticks = line.split()
        cpu[pid] = max(cpu.get(pid, 0), int(ticks))
except OSError:
    pass
mux = sum(cpu.values()) / tck
print("continuity: thread_mux CPU %.2f s = %.3f %% of one core" % (mux, 100 * mux * 1000 / wall))
