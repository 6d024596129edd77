#!/usr/bin/env python3
"""Hostility soak against a running, recording daemon that requires
credentials.

    soak.py PORT PID LOG USER PASSWORD SECONDS CONNECTIONS RECORD_DIR RECORD_INDEX

Two UDP and two RTP-over-TCP players (Digest-authenticated, counting RTP
sequence gaps and the largest silence) play tavro_mirel/main while
CONNECTIONS hostile peers keep at it for SECONDS, in equal shares: stay
idle, send a byte a second, send garbage, send oversized requests, flood
pipelined requests, play and hang up mid-stream, or use wrong credentials.
A peer the server closes comes back.  Prints per player the packets, the
lost ones and the largest gap, then the daemon's descriptors, RSS and the
bytes its log grew by, at rest before and after.  Then it stops the daemon
(SIGTERM) and reports from RECORD_INDEX's listing of RECORD_DIR what the
recorder filed since the soak began: the seconds of video missing between
the first file's start and the stop, and the frames in the files against
their lengths.  A sanitizer build's report at exit is shown.

Environment: HEAP_PROBE=1 adds the allocator's figures before and after
(gdb calls malloc_stats and malloc_trim in the daemon); SOAK_KEEP_DAEMON=1
leaves the daemon running for another round.
"""
import json
import signal
import subprocess
import hashlib
import os
import random
import re
import resource
import selectors
import socket
import sys
import threading
import time

PORT, PID, LOG = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
USER, PASSWORD = sys.argv[4], sys.argv[5]
SECONDS, CONNS = int(sys.argv[6]), int(sys.argv[7])
RECORD_DIR, RECORD_INDEX = sys.argv[8], sys.argv[9]
URL = "rtsp://127.0.0.1:%d/tavro_mirel/main" % PORT
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, CONNS + 500), hard))


def md5(s):
    return hashlib.md5(s.encode()).hexdigest()


def fds():
    return len(os.listdir("/proc/%d/fd" % PID))


def rss_kb(field="VmRSS"):
    for line in open("/proc/%d/status" % PID):
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def rss_text():
    """Resident KB, and how much of it is anonymous memory (heap, stacks)
    and how much pages of mapped files (code of the libraries)."""
    return "%d KB (anonymous %d, files %d)" % (rss_kb(), rss_kb("RssAnon"), rss_kb("RssFile"))


class Player(threading.Thread):
    def __init__(self, name, tcp=False):
        super().__init__(name=name, daemon=True)
        self.tcp = tcp
        self.packets = self.lost = 0
        self.gap_ms = 0.0
        self.stop = False
        self.ok = False
        self.last_seq = self.last_t = None

    def count(self, p):
        t = time.monotonic()
        seq = (p[2] << 8) | p[3]
        if self.last_seq is not None:
            self.lost += (seq - self.last_seq - 1) & 0xFFFF
            self.gap_ms = max(self.gap_ms, (t - self.last_t) * 1000)
        self.last_seq, self.last_t = seq, t
        self.packets += 1

    def rtsp(self, ctl, method, url, cseq, extra, nonce):
        auth = ""
        if nonce:
            ha1 = md5("%s:%s:%s" % (USER, nonce[0], PASSWORD))
            resp = md5("%s:%s:%08x:c1:auth:%s" % (ha1, nonce[1], cseq, md5(method + ":" + url)))
            auth = ('Authorization: Digest username="%s", realm="%s", nonce="%s", uri="%s", '
                    'qop=auth, nc=%08x, cnonce="c1", response="%s"\r\n'
                    % (USER, nonce[0], nonce[1], url, cseq, resp))
        ctl.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s%s\r\n" % (method, url, cseq, auth, extra)).encode())
        buf = b""
        while b"\r\n\r\n" not in buf:
            buf += ctl.recv(4096)
        head = buf.split(b"\r\n\r\n")[0].decode(errors="replace")
        m = re.search(r'Content-Length: (\d+)', head)
        if m:
            need = int(m.group(1)) - len(buf.split(b"\r\n\r\n", 1)[1])
            while need > 0:
                need -= len(ctl.recv(4096))
        return head

    def open_session(self, ctl, transport):
        """DESCRIBE (answered with a challenge, then with credentials),
        SETUP of the video track with the given transport, PLAY; returns
        the (realm, nonce) the later requests authenticate with."""
        head = self.rtsp(ctl, "DESCRIBE", URL, 1, "", None)
        n = re.search(r'realm="([^"]*)", nonce="([^"]*)"', head).groups()
        self.rtsp(ctl, "DESCRIBE", URL, 2, "", n)
        self.rtsp(ctl, "SETUP", URL + "/track0", 3, "Transport: %s\r\n" % transport, n)
        self.ok = self.rtsp(ctl, "PLAY", URL, 4, "", n).startswith("RTSP/1.0 200")
        return n

    def run(self):
        if self.tcp:
            self.run_tcp()
            return
        rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        rtp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        rtp.bind(("127.0.0.1", 0))
        port = rtp.getsockname()[1]
        ctl = socket.create_connection(("127.0.0.1", PORT))
        n = self.open_session(ctl, "RTP/AVP;unicast;client_port=%d-%d" % (port, port + 1))
        rtp.settimeout(0.5)
        keep = time.monotonic()
        while not self.stop:
            try:
                p = rtp.recv(2048)
            except socket.timeout:
                continue
            self.count(p)
            t = self.last_t
            if t - keep > 20:   # keep-alive
                ctl.sendall(("OPTIONS %s RTSP/1.0\r\nCSeq: 9\r\n\r\n" % URL).encode())
                keep = t
        try:
            self.rtsp(ctl, "TEARDOWN", URL, 10, "", n)
        except OSError:
            pass
        ctl.close()


    def run_tcp(self):
        """Media arrives as $-framed packets on the RTSP connection (channel
        0 the video, 1 its RTCP), with the replies to keep-alives between."""
        ctl = socket.create_connection(("127.0.0.1", PORT))
        n = self.open_session(ctl, "RTP/AVP/TCP;unicast;interleaved=0-1")
        ctl.settimeout(0.5)
        buf = b""
        keep = time.monotonic()
        while not self.stop:
            try:
                chunk = ctl.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                self.ok = False
                break
            buf += chunk
            while buf:
                if buf[:1] == b"$":
                    if len(buf) < 4:
                        break
                    size = (buf[2] << 8) | buf[3]
                    if len(buf) < 4 + size:
                        break
                    if buf[1] == 0:
                        self.count(buf[4:4 + size])
                    buf = buf[4 + size:]
                else:   # a reply to a keep-alive
                    end = buf.find(b"\r\n\r\n")
                    if end < 0:
                        break
                    buf = buf[end + 4:]
            if time.monotonic() - keep > 20:
                ctl.sendall(("OPTIONS %s RTSP/1.0\r\nCSeq: 9\r\n\r\n" % URL).encode())
                keep = time.monotonic()
        ctl.close()


KINDS = ["idle", "drip", "garbage", "oversized", "flood", "hangup", "badauth"]


def hostile_loop(deadline):
    sel = selectors.DefaultSelector()
    peers = {}
    stats = {k: 0 for k in KINDS}

    def open_peer(kind):
        try:
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", PORT))
        except OSError:
            return
        peers[s] = [kind, time.monotonic(), 0]
        sel.register(s, selectors.EVENT_READ)
        stats[kind] += 1

    def close_peer(s):
        sel.unregister(s)
        del peers[s]
        s.close()

    for i in range(CONNS):
        open_peer(KINDS[i % len(KINDS)])
    tick = 0.0
    while time.monotonic() < deadline:
        for key, _ in sel.select(0.05):
            s = key.fileobj
            try:
                if s.recv(65536) == b"":
                    kind = peers[s][0]
                    close_peer(s)
                    open_peer(kind)
            except OSError:
                kind = peers[s][0]
                close_peer(s)
                open_peer(kind)
        now = time.monotonic()
        if now - tick < 0.2:
            continue
        tick = now
        for s, st in list(peers.items()):
            kind, born, n = st
            try:
                if kind == "drip" and now - born > n:
                    s.send(b"O")
                    st[2] += 1
                elif kind == "garbage":
                    s.send(bytes(random.getrandbits(8) for _ in range(64)) + b"\r\n\r\n")
                elif kind == "oversized" and n == 0:
                    s.send(b"DESCRIBE " + URL.encode() + b" RTSP/1.0\r\nX: " + b"a" * 5000)
                    st[2] = 1
                elif kind == "flood":
                    s.send(("OPTIONS %s RTSP/1.0\r\nCSeq: 1\r\n\r\n" % URL).encode() * 50)
                elif kind == "hangup" and n == 0:
                    s.send(("OPTIONS %s RTSP/1.0\r\nCSeq: 1\r\n\r\nSETUP %s/track0 RTSP/1.0\r\n"
                            "CSeq: 2\r\nTransport: RTP/AVP;unicast;client_port=9-10\r\n\r\n"
                            % (URL, URL)).encode())
                    st[2] = 1
                elif kind == "hangup" and now - born > 2:
                    close_peer(s)
                    open_peer(kind)
                elif kind == "badauth" and n < 10:
                    s.send(('DESCRIBE %s RTSP/1.0\r\nCSeq: 1\r\nAuthorization: Digest username="%s", '
                            'realm="x", nonce="0", uri="%s", response="0"\r\n\r\n'
                            % (URL, USER, URL)).encode())
                    st[2] += 1
            except (BlockingIOError, OSError):
                pass
    for s in list(peers):
        close_peer(s)
    return stats


def recorded_files():
    try:
        out = subprocess.run([RECORD_INDEX, "--json", RECORD_DIR], capture_output=True,
                             text=True, timeout=60).stdout
        return [f for f in json.loads(out)["files"] if "/" in f["path"]]
    except (OSError, ValueError, subprocess.SubprocessError):
        return []


def stop_daemon():
    """Sends SIGTERM and waits until the daemon has gone; returns when the
    signal went, in wall-clock ms."""
    sent = int(time.time() * 1000)
    os.kill(PID, signal.SIGTERM)
    end = time.monotonic() + 10
    while os.path.exists("/proc/%d" % PID) and time.monotonic() < end:
        with open("/proc/%d/stat" % PID) as f:
            if f.read().split(") ")[-1].startswith("Z"):
                break
        time.sleep(0.1)
    return sent


def report_recording(before, t_start_ms, t_stop_ms, hostile_ms):
    files = sorted((f for f in recorded_files() if f["path"] not in before and f["indexed"]),
                   key=lambda f: f["start_wall_ms"])
    if not files:
        print("recorder: NO file filed during the soak")
        return
    video = sum(f["length_ms"] for f in files)
    span = t_stop_ms - files[0]["start_wall_ms"]
    gaps = []
    for a, b in zip(files, files[1:]):
        g = b["start_wall_ms"] - (a["start_wall_ms"] + a["length_ms"])
        if a["origin_ts_ms"] and b["origin_ts_ms"]:
            on_frames = ((b["origin_ts_ms"] + b["video"]["first_ms"])
                         - (a["origin_ts_ms"] + a["video"]["end_ms"]))
            if abs(on_frames - g) <= 2000:
                g = on_frames
        if g > 40:
            gaps.append(g)
    frames = sum(f["video"]["frames"] for f in files)
    tail = t_stop_ms - (files[-1]["start_wall_ms"] + files[-1]["length_ms"])
    print("recorder: %d files, the first from %+.1f s of the soak's start, to the stop: "
          "%.1f s of video in %.1f s" % (len(files), (files[0]["start_wall_ms"] - t_start_ms) / 1000,
                                         video / 1000, span / 1000))
    print("recorder: lost %.2f s between files (%d gaps over 40 ms, largest %d ms), "
          "%d ms between the last file's end and the stop"
          % (sum(gaps) / 1000, len(gaps), max(gaps, default=0), tail))
    expected = sum(round(f["length_ms"] / 40) for f in files)
    print("recorder: %d video frames in the files, %d for their lengths at 25 fps"
          % (frames, expected))
    # Which files lack frames, against the hostile stretch: start-up (first
    # encode), a heap probe (gdb stops the daemon) and the stop are outside it.
    h0, h1 = hostile_ms
    for f in files:
        short = round(f["length_ms"] / 40) - f["video"]["frames"]
        if short > 0:
            t0 = f["start_wall_ms"]
            t1 = t0 + f["length_ms"]
            print("recorder:   %d frames short in %s, from %+.1f s to %+.1f s of the hostile "
                  "stretch (%.1f s)" % (short, f["path"], (t0 - h0) / 1000, (t1 - h0) / 1000,
                                        (h1 - h0) / 1000))


def heap_probe(label, trim):
    """With HEAP_PROBE set and gdb at hand: the allocator's own figures
    (malloc_stats, which the daemon writes to its log), and with `trim`
    RSS again once malloc_trim(0) has handed free pages back.  Memory that
    trimming returns was free in the allocator, not leaked."""
    start = os.path.getsize(LOG)
    cmd = ["gdb", "-p", str(PID), "-batch", "-nx", "-ex", "call (void) malloc_stats()"]
    if trim:
        cmd += ["-ex", "call (int) malloc_trim(0)", "-ex", "call (void) malloc_stats()"]
    try:
        subprocess.run(cmd + ["-ex", "call (int) fflush(0)"], capture_output=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        print("heap probe: gdb failed: %s" % e)
        return
    with open(LOG, "rb") as f:
        f.seek(start)
        text = f.read().decode(errors="replace")
    totals = re.findall(r"Total \(incl. mmap\):\s*system bytes\s*=\s*(\d+)\s*"
                        r"in use bytes\s*=\s*(\d+)", text)
    arenas = len(re.findall(r"^Arena \d+:", text, re.M)) // len(totals or [0])
    for when, (system, used) in zip(("", ", trimmed"), totals):
        print("heap %s%s: allocator holds %d KB, %d KB of it in use (%d arenas)"
              % (label, when, int(system) // 1024, int(used) // 1024, arenas))
    if trim:
        print("heap %s: daemon RSS %s after malloc_trim(0)" % (label, rss_text()))


def main():
    t_start_ms = int(time.time() * 1000)
    before = {f["path"] for f in recorded_files()}
    time.sleep(3)   # the recorder has its first file open
    if os.environ.get("HEAP_PROBE"):
        heap_probe("before", False)
    fd0, rss0, log0 = fds(), rss_text(), os.path.getsize(LOG)
    players = [Player("udp%d" % i) for i in range(2)] + [Player("tcp%d" % i, True) for i in range(2)]
    for p in players:
        p.start()
    time.sleep(3)
    hostile_ms = (int(time.time() * 1000), int(time.time() * 1000) + SECONDS * 1000)
    stats = hostile_loop(time.monotonic() + SECONDS)
    time.sleep(2)
    for p in players:
        p.stop = True
    for p in players:
        p.join(3)
    log1 = os.path.getsize(LOG)
    print("hostile connections opened: " + ", ".join("%s %d" % kv for kv in stats.items()))
    for p in players:
        print("%s: played %s, %d packets, %d lost, largest gap %.0f ms"
              % (p.name, "yes" if p.ok else "NO", p.packets, p.lost, p.gap_ms))
    end = time.monotonic() + 30
    while fds() > fd0 and time.monotonic() < end:
        time.sleep(0.5)
    print("daemon descriptors: %d before, %d after" % (fd0, fds()))
    print("daemon RSS: %s before, %s after" % (rss0, rss_text()))
    print("log grew by %d bytes in %d s" % (log1 - log0, SECONDS))
    kinds = {}
    with open(LOG, "rb") as f:
        f.seek(log0)
        for line in f.read(log1 - log0).split(b"\n"):
            m = re.match(rb"\[(\w+)\]\[[^]]*\](?:\[([a-z_]+):\d+\])?([A-Za-z +]{0,24})", line)
            if m:
                k = (m.group(1) + b" " + (m.group(2) or b"") + b" " + m.group(3)).decode(errors="replace")
                kinds[k] = kinds.get(k, 0) + len(line) + 1
    for k, v in sorted(kinds.items(), key=lambda kv: -kv[1])[:6]:
        print("  log %8d bytes: %s" % (v, k))
    with open(LOG, "rb") as f:
        f.seek(log0)
        lost = [l for l in f.read().split(b"\n") if b"lost" in l.lower()]
    for l in lost[:5]:
        print("  log: " + l.decode(errors="replace")[:160])
    if os.environ.get("HEAP_PROBE"):
        heap_probe("after", True)
    if not os.environ.get("SOAK_KEEP_DAEMON"):   # set for a second round on the same daemon
        report_recording(before, t_start_ms, stop_daemon(), hostile_ms)
        # A sanitizer build reports at exit (leaks among them) into the log.
        with open(LOG, "rb") as f:
            f.seek(log1)
            for line in f.read().decode(errors="replace").split("\n"):
                if "Sanitizer" in line or line.startswith("SUMMARY"):
                    print("  exit: " + line[:200])


main()
