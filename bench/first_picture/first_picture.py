#!/usr/bin/env python3
"""PLAY to first key frame, as a player sees it.

    first_picture.py PORT LOG [TRIALS]

For client paces of 0, 50 and 200 ms (the time from OPTIONS to PLAY, spread
evenly over the three gaps between OPTIONS, DESCRIBE, SETUP and PLAY), plays rtsp://127.0.0.1:PORT/tavro_mirel/main
TRIALS times (default 20) and measures the time from sending PLAY to the
first RTP packet that starts a key frame (an SPS or an IDR slice):
  - fresh: nobody else watches, so OPTIONS starts the channel and its
    encoder; after each trial the player tears down and the script waits
    until the daemon's log (LOG) shows the channel detached;
  - running: a background player keeps the channel running; each trial
    joins it at a random point of the picture group.
Prints the median, 95th percentile and largest time per case.
"""
import os
import random
import socket
import statistics
import sys
import time

PORT = int(sys.argv[1])
LOG = sys.argv[2]
TRIALS = int(sys.argv[3]) if len(sys.argv) > 3 else 20
URL = "rtsp://127.0.0.1:%d/tavro_mirel/main" % PORT


class Player:
    def __init__(self):
        self.ctl = socket.create_connection(("127.0.0.1", PORT))
        self.ctl.settimeout(5)
        self.rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtp.bind(("127.0.0.1", 0))
        self.rtp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.port = self.rtp.getsockname()[1]
        self.cseq = 0
        self.buf = b""

    def request(self, method, url, extra=""):
        self.cseq += 1
        msg = "%s %s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n" % (method, url, self.cseq, extra)
        self.ctl.sendall(msg.encode())
        t = time.monotonic()
        while b"\r\n\r\n" not in self.buf:
            chunk = self.ctl.recv(4096)
            if not chunk:
                raise RuntimeError("connection closed at " + method)
            self.buf += chunk
        head, _, rest = self.buf.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n"):
            if line.lower().startswith(b"content-length:"):
                length = int(line.split(b":")[1])
        while len(rest) < length:
            rest += self.ctl.recv(4096)
        self.buf = rest[length:]
        if not head.startswith(b"RTSP/1.0 200"):
            raise RuntimeError("%s: %s" % (method, head.split(b"\r\n")[0].decode()))
        return t

    def play(self, pace):
        steps = [("OPTIONS", URL, ""), ("DESCRIBE", URL, ""),
                 ("SETUP", URL + "/track0",
                  "Transport: RTP/AVP;unicast;client_port=%d-%d\r\n" % (self.port, self.port + 1)),
                 ("PLAY", URL, "")]
        sent = 0
        for i, (m, u, e) in enumerate(steps):
            if i and pace:
                time.sleep(pace / 3000.0)
            sent = self.request(m, u, e)
        return sent

    def first_key(self, timeout=6.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            self.rtp.settimeout(max(0.01, end - time.monotonic()))
            try:
                p = self.rtp.recv(2048)
            except socket.timeout:
                break
            if len(p) < 14:
                continue
            nal = p[12] & 0x1F
            if nal in (5, 7) or (nal == 28 and (p[13] & 0x80) and (p[13] & 0x1F) == 5):
                return time.monotonic()
        return None

    def close(self):
        try:
            self.request("TEARDOWN", URL)
        except (OSError, RuntimeError):
            pass
        self.ctl.close()
        self.rtp.close()


def detached():
    with open(LOG, "rb") as f:
        return f.read().count(b"detach rtsp channel [ tavro_mirel/main ]")


def wait_detached(before):
    end = time.monotonic() + 10
    while detached() <= before and time.monotonic() < end:
        time.sleep(0.05)
    # the encoder stops just after the channel goes
    time.sleep(float(os.environ.get("REST_SEC", "0.3")))


def trial(pace):
    p = Player()
    try:
        t_play = p.play(pace)
        t_key = p.first_key()
        return None if t_key is None else (t_key - t_play) * 1000.0
    finally:
        p.close()


def report(name, pace, ms):
    got = sorted(x for x in ms if x is not None)
    lost = len(ms) - len(got)
    if not got:
        print("%-8s pace %3d ms: no key frame in %d trials" % (name, pace, len(ms)))
        return
    p95 = got[min(len(got) - 1, int(round(0.95 * (len(got) - 1))))]
    print("%-8s pace %3d ms: PLAY->key frame median %6.1f ms  p95 %6.1f ms  max %6.1f ms"
          "  (%d trials%s)" % (name, pace, statistics.median(got), p95, got[-1], len(ms),
                               ", %d without key frame" % lost if lost else ""))


def main():
    for pace in (0, 50, 200):
        ms = []
        for _ in range(TRIALS):
            before = detached()
            ms.append(trial(pace))
            wait_detached(before)
        report("fresh", pace, ms)
    bg = Player()
    bg.play(0)
    try:
        for pace in (0, 50, 200):
            ms = []
            for _ in range(TRIALS):
                time.sleep(random.uniform(0, 2.0))
                ms.append(trial(pace))
            report("running", pace, ms)
    finally:
        bg.close()


main()
