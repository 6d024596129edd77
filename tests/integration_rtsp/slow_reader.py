#!/usr/bin/env python3
"""A slow RTP-over-TCP reader beside a normal UDP player of the same channel.

    slow_reader.py PORT URL DAEMON_LOG

The UDP player reads at once and must see every video packet (no gap in
the sequence numbers).  The TCP reader takes 10 KB/s until the daemon logs
that it reads too slowly (at most 40 s), then at full speed until it has
seen a loss and 50 packets after it (at most 20 s): it must have lost
packets, after every loss its video must start again with a key frame, and
at full speed it must get video again.  Prints the figures and exits non-zero on a failed check.
"""
import socket
import sys
import time

PORT, URL, LOG = int(sys.argv[1]), sys.argv[2], sys.argv[3]


class Rtsp:
    def __init__(self, rcvbuf=None):
        self.s = socket.socket()
        if rcvbuf:
            self.s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.s.connect(("127.0.0.1", PORT))
        self.buf = b""
        self.cseq = 0
        self.session = None

    def fill(self, n):
        while len(self.buf) < n:
            d = self.s.recv(65536)
            if not d:
                raise SystemExit("FAIL: connection closed by the server")
            self.buf += d

    def request(self, method, url, extra=""):
        self.cseq += 1
        if self.session:
            extra += "Session: %s\r\n" % self.session
        self.s.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s\r\n" % (method, url, self.cseq, extra)).encode())
        while b"\r\n\r\n" not in self.buf:
            self.fill(len(self.buf) + 1)
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        text = head.decode()
        if not text.startswith("RTSP/1.0 200"):
            raise SystemExit("FAIL: %s answered %s" % (method, text.splitlines()[0]))
        for line in text.split("\r\n"):
            k, _, v = line.partition(":")
            if k.lower() == "content-length":
                self.fill(int(v))
                self.buf = self.buf[int(v):]
            if k.lower() == "session":
                self.session = v.strip().split(";")[0]
        return text

    def packet(self):
        """Next interleaved packet (channel, payload)."""
        self.fill(4)
        if self.buf[0:1] != b"$":
            raise SystemExit("FAIL: stream lost its framing: %r" % self.buf[:16])
        n = (self.buf[2] << 8) | self.buf[3]
        self.fill(4 + n)
        ch, p = self.buf[1], self.buf[4:4 + n]
        self.buf = self.buf[4 + n:]
        return ch, p


def seq(p):
    return (p[2] << 8) | p[3]


def starts_key(p):
    """The packet starts a key frame: SPS, or an IDR slice (whole or first fragment)."""
    nal = p[12]
    t = nal & 0x1F
    if t == 28:
        return (p[13] & 0x80) != 0 and (p[13] & 0x1F) in (5, 7)
    return t in (5, 7)


# The UDP player.
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
udp.bind(("127.0.0.1", 0))
cport = udp.getsockname()[1]
if cport % 2:
    udp.close()
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    udp.bind(("127.0.0.1", cport + 1))
    cport += 1
udp.setblocking(False)
u = Rtsp()
u.request("OPTIONS", URL)
u.request("DESCRIBE", URL)
u.request("SETUP", URL + "/track0", "Transport: RTP/AVP;unicast;client_port=%d-%d\r\n" % (cport, cport + 1))
u.request("PLAY", URL)

# The slow TCP reader, with a small receive window.
t = Rtsp(rcvbuf=8192)
t.request("OPTIONS", URL)
t.request("DESCRIBE", URL)
t.request("SETUP", URL + "/track0", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")
t.request("PLAY", URL)
t.s.setblocking(False)

udp_seqs, tcp_pkts = [], []


def drain_udp():
    while True:
        try:
            d = udp.recv(2048)
        except BlockingIOError:
            return
        udp_seqs.append(seq(d))


def read_tcp(budget):
    """Reads at most budget bytes of the TCP stream; whole packets are kept."""
    try:
        d = t.s.recv(budget)
    except BlockingIOError:
        return
    if not d:
        raise SystemExit("FAIL: TCP reader closed by the server")
    t.buf += d
    while len(t.buf) >= 4:
        if t.buf[0:1] != b"$":
            raise SystemExit("FAIL: TCP stream lost its framing")
        n = (t.buf[2] << 8) | t.buf[3]
        if len(t.buf) < 4 + n:
            break
        if t.buf[1] == 0:
            tcp_pkts.append(t.buf[4:4 + n])
        t.buf = t.buf[4 + n:]


def server_dropped():
    with open(LOG, errors="replace") as f:
        return "reads too slowly" in f.read()


start = time.monotonic()
while time.monotonic() < start + 40.0 and not server_dropped():
    drain_udp()
    read_tcp(1000)              # 1000 bytes every 100 ms: 10 KB/s
    time.sleep(0.1)
slow_pkts = len(tcp_pkts)
slow_s = time.monotonic() - start


def tcp_losses():
    return [i for i in range(1, len(tcp_pkts)) if (seq(tcp_pkts[i]) - seq(tcp_pkts[i - 1])) & 0xFFFF != 1]


def video_again():
    """A loss, then 50 packets at full speed, and 200 on the UDP player."""
    losses = tcp_losses()
    return (losses and len(tcp_pkts) - max(losses[-1], slow_pkts) >= 50 and
            len(udp_seqs) >= 200)


fast_end = time.monotonic() + 20.0
while time.monotonic() < fast_end and not video_again():
    drain_udp()
    read_tcp(1 << 20)
    time.sleep(0.005)
drain_udp()

udp_gaps = sum(1 for a, b in zip(udp_seqs, udp_seqs[1:]) if (b - a) & 0xFFFF != 1)
losses = tcp_losses()
bad_resume = [i for i in losses if not starts_key(tcp_pkts[i])]
print("udp player: %d packets, %d gaps" % (len(udp_seqs), udp_gaps))
print("tcp reader: %d packets (%d while slow, %.1f s), %d losses, %d resumed without a key frame"
      % (len(tcp_pkts), slow_pkts, slow_s, len(losses), len(bad_resume)))
ok = True
if len(udp_seqs) < 200 or udp_gaps:
    print("FAIL: the UDP player lost packets or got too few"); ok = False
if not losses:
    print("FAIL: the slow reader lost nothing: the queue is not bounded"); ok = False
if bad_resume:
    print("FAIL: after a loss the slow reader's video went on mid-frame"); ok = False
if len(tcp_pkts) - slow_pkts < 50:
    print("FAIL: the reader did not get video once it read at full speed"); ok = False
sys.exit(0 if ok else 1)
