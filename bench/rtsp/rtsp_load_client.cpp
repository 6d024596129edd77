/*
 * rtsp_load_client - RTSP fan-out load generator and meter.
 *
 * Opens N RTSP sessions on one URL (one TCP control connection each:
 * OPTIONS, DESCRIBE, SETUP with a UDP client_port pair, or with --tcp
 * interleaved on the connection, PLAY), receives the RTP of every session
 * on its own UDP port (or its connection) with one epoll thread, and after
 * the measuring window sends TEARDOWN.  It prints, per run:
 *   - packets, bytes and loss (from RTP sequence gaps, RFC 3550 A.3) over
 *     all sessions, plus datagrams the client's own sockets dropped;
 *   - with --pid: the server's CPU seconds in the window, summed over the
 *     selected threads (by name from /proc/<pid>/task/<tid>/comm), per
 *     delivered Mbit, and the process's resident set size;
 *   - with --heap-file: the line the server's heap meter last wrote
 *     (bench/rtsp/heap_meter.cpp), read before TEARDOWN.
 *
 * THREADS: the main thread runs the RTSP exchanges and samples /proc; the
 * receiver thread ("load_rx") owns the UDP sockets while it runs.  Counters
 * it writes are relaxed atomics that the main thread only reads.
 */
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------- options
struct options {
    std::string url;                 // rtsp://host:port/path
    int sessions = 1;
    double duration_s = 20.0;        // measuring window
    int client_port_base = 40000;    // first client RTP port tried
    int pid = 0;                     // server process to meter (0: none)
    std::string threads = "all";     // "all" or comma-separated name prefixes
    std::string exclude;             // comma-separated name prefixes
    std::string label = "server";
    double settle_s = 1.0;           // wait after the last PLAY before measuring
    bool tcp = false;                // RTP interleaved on the RTSP connection
    std::string heap_file;           // the server's heap meter, read at the window's end
};

void usage(const char *prog)
{
    fprintf(stderr,
            "usage: %s --url rtsp://127.0.0.1:554/tavro_mirel/main [--sessions N]\n"
            "          [--duration SEC] [--client-port-base PORT] [--settle SEC]\n"
            "          [--pid PID [--threads all|PREFIX,...] [--exclude PREFIX,...]]\n"
            "          [--label NAME] [--tcp] [--heap-file PATH]\n",
            prog);
}

bool parse_options(int argc, char **argv, options &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](void) -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        if (a == "--url" && (v = next())) o.url = v;
        else if (a == "--sessions" && (v = next())) o.sessions = atoi(v);
        else if (a == "--duration" && (v = next())) o.duration_s = atof(v);
        else if (a == "--client-port-base" && (v = next())) o.client_port_base = atoi(v);
        else if (a == "--pid" && (v = next())) o.pid = atoi(v);
        else if (a == "--threads" && (v = next())) o.threads = v;
        else if (a == "--exclude" && (v = next())) o.exclude = v;
        else if (a == "--label" && (v = next())) o.label = v;
        else if (a == "--settle" && (v = next())) o.settle_s = atof(v);
        else if (a == "--tcp") o.tcp = true;
        else if (a == "--heap-file" && (v = next())) o.heap_file = v;
        else return false;
    }
    return !o.url.empty() && o.sessions > 0 && o.duration_s > 0;
}

std::vector<std::string> split_list(const std::string &s)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        if (comma == std::string::npos) comma = s.size();
        if (comma > pos) out.push_back(s.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return out;
}

double now_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// ------------------------------------------------------------ RTSP parsing
struct url_parts {
    std::string host = "127.0.0.1";
    int port = 554;
};

bool parse_url(const std::string &url, url_parts &u)
{
    const std::string scheme = "rtsp://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    size_t host_start = scheme.size();
    size_t slash = url.find('/', host_start);
    std::string hostport = url.substr(host_start, slash == std::string::npos ? std::string::npos
                                                                             : slash - host_start);
    size_t colon = hostport.find(':');
    u.host = hostport.substr(0, colon);
    if (colon != std::string::npos) u.port = atoi(hostport.c_str() + colon + 1);
    return !u.host.empty() && u.port > 0;
}

struct rtsp_reply {
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
};

std::string lower(std::string s)
{
    for (char &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Parses status line and headers of one reply (text up to the blank line).
bool parse_reply_head(const std::string &head, rtsp_reply &r)
{
    size_t eol = head.find("\r\n");
    std::string status_line = head.substr(0, eol);
    if (sscanf(status_line.c_str(), "RTSP/1.0 %d", &r.status) != 1) return false;
    size_t pos = eol == std::string::npos ? head.size() : eol + 2;
    while (pos < head.size()) {
        size_t e = head.find("\r\n", pos);
        if (e == std::string::npos) e = head.size();
        std::string line = head.substr(pos, e - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos)
            r.headers[lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
        pos = e + 2;
    }
    return true;
}

// The control URL of the first video medium of an SDP, resolved on base.
std::string video_control_url(const std::string &sdp, const std::string &base)
{
    bool in_video = false;
    std::string control;
    size_t pos = 0;
    while (pos < sdp.size()) {
        size_t e = sdp.find('\n', pos);
        if (e == std::string::npos) e = sdp.size();
        std::string line = trim(sdp.substr(pos, e - pos));
        pos = e + 1;
        if (line.compare(0, 2, "m=") == 0) {
            if (in_video && !control.empty()) break;
            in_video = line.compare(0, 8, "m=video ") == 0;
        } else if (in_video && line.compare(0, 10, "a=control:") == 0) {
            control = line.substr(10);
        }
    }
    if (control.empty() || control == "*") return base;
    if (control.compare(0, 7, "rtsp://") == 0) return control;
    std::string b = base;
    if (!b.empty() && b.back() != '/') b += '/';
    return b + control;
}

// ------------------------------------------------------------ RTP counting
// RFC 3550 A.1/A.3: extended highest sequence number and expected count.
struct seq_tracker {
    bool init = false;
    uint16_t base = 0, max = 0;
    uint32_t cycles = 0;
    uint64_t received = 0, late = 0;

    void add(uint16_t seq)
    {
        received++;
        if (!init) {
            init = true;
            base = max = seq;
            return;
        }
        uint16_t delta = static_cast<uint16_t>(seq - max);
        if (delta != 0 && delta < 0x8000) {
            if (seq < max) cycles += 65536;
            max = seq;
        } else {
            late++;  // duplicate or reordered
        }
    }
    uint64_t expected() const { return init ? uint64_t(cycles) + max - base + 1 : 0; }
    // RFC 3550 A.3: a late packet fills its gap; duplicates can only hide
    // losses, never add any.
    uint64_t lost() const
    {
        uint64_t e = expected();
        return e > received ? e - received : 0;
    }
};

struct session {
    int id = 0;
    int tcp = -1;
    int rtp = -1, rtcp = -1;
    int client_port = 0;
    std::string session_hdr;
    std::string control_url;
    std::string pending;             // bytes read past a reply; then the receiver's
    int cseq = 0;
    bool playing = false;
    // written by the receiver thread only
    seq_tracker seq;
    std::atomic<uint64_t> packets{0}, bytes{0}, lost{0}, sock_drops{0};
    std::atomic<uint64_t> frames{0};  // packets with the marker bit: access units
    uint32_t last_ovfl = 0;
};

// ------------------------------------------------------------ RTSP client
bool send_all(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += size_t(n);
    }
    return true;
}

bool read_reply(int fd, rtsp_reply &r, std::string &buf)
{
    char tmp[4096];
    size_t head_end;
    while ((head_end = buf.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf.append(tmp, size_t(n));
        if (buf.size() > 65536) return false;
    }
    if (!parse_reply_head(buf.substr(0, head_end), r)) return false;
    size_t len = 0;
    auto it = r.headers.find("content-length");
    if (it != r.headers.end()) len = strtoul(it->second.c_str(), nullptr, 10);
    buf.erase(0, head_end + 4);
    while (buf.size() < len) {
        ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf.append(tmp, size_t(n));
    }
    r.body = buf.substr(0, len);
    buf.erase(0, len);   // what follows (media after PLAY) stays
    return true;
}

bool request(session &s, const std::string &method, const std::string &url,
             const std::string &extra, rtsp_reply &r)
{
    std::string req = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++s.cseq) +
                      "\r\nUser-Agent: rtsp_load_client\r\n" + extra + "\r\n";
    r = rtsp_reply();
    return send_all(s.tcp, req) && read_reply(s.tcp, r, s.pending);
}

int tcp_connect(const url_parts &u)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(u.port));
    if (inet_pton(AF_INET, u.host.c_str(), &sa.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int udp_bind(int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Binds an even/odd UDP port pair at or above *next_port.
bool bind_pair(session &s, int *next_port)
{
    for (int p = *next_port & ~1; p < 65534; p += 2) {
        int a = udp_bind(p);
        if (a < 0) continue;
        int b = udp_bind(p + 1);
        if (b < 0) {
            close(a);
            continue;
        }
        // Enough buffer that the client is not the one dropping (root may
        // exceed rmem_max); count what it still drops.
        int sz = 4 << 20;
        if (setsockopt(a, SOL_SOCKET, SO_RCVBUFFORCE, &sz, sizeof sz) != 0)
            setsockopt(a, SOL_SOCKET, SO_RCVBUF, &sz, sizeof sz);
        int one = 1;
        setsockopt(a, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
        s.rtp = a;
        s.rtcp = b;
        s.client_port = p;
        *next_port = p + 2;
        return true;
    }
    return false;
}

bool start_session(session &s, const std::string &url, const url_parts &u, int *next_port,
                   bool tcp, std::string &err)
{
    rtsp_reply r;
    s.tcp = tcp_connect(u);
    if (s.tcp < 0) return err = "connect: " + std::string(strerror(errno)), false;
    if (!request(s, "OPTIONS", url, "", r) || r.status != 200)
        return err = "OPTIONS status " + std::to_string(r.status), false;
    if (!request(s, "DESCRIBE", url, "Accept: application/sdp\r\n", r) || r.status != 200)
        return err = "DESCRIBE status " + std::to_string(r.status), false;
    std::string base = url;
    auto cb = r.headers.find("content-base");
    if (cb != r.headers.end()) base = cb->second;
    s.control_url = video_control_url(r.body, base);
    std::string transport = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
    if (tcp) {
        int sz = 4 << 20;
        if (setsockopt(s.tcp, SOL_SOCKET, SO_RCVBUFFORCE, &sz, sizeof sz) != 0)
            setsockopt(s.tcp, SOL_SOCKET, SO_RCVBUF, &sz, sizeof sz);
    } else {
        if (!bind_pair(s, next_port)) return err = "no free UDP port pair", false;
        transport = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(s.client_port) +
                    "-" + std::to_string(s.client_port + 1) + "\r\n";
    }
    if (!request(s, "SETUP", s.control_url, transport, r) || r.status != 200)
        return err = "SETUP status " + std::to_string(r.status), false;
    auto sh = r.headers.find("session");
    if (sh != r.headers.end()) s.session_hdr = sh->second.substr(0, sh->second.find(';'));
    std::string sess = s.session_hdr.empty() ? "" : "Session: " + s.session_hdr + "\r\n";
    if (!request(s, "PLAY", url, sess + "Range: npt=0.000-\r\n", r) || r.status != 200)
        return err = "PLAY status " + std::to_string(r.status), false;
    s.playing = true;
    if (tcp)
        fcntl(s.tcp, F_SETFL, fcntl(s.tcp, F_GETFL) | O_NONBLOCK);
    return true;
}

void stop_session(session &s, const std::string &url)
{
    if (s.tcp >= 0 && s.playing && s.rtp >= 0) {
        struct timeval tv = {2, 0};
        setsockopt(s.tcp, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        rtsp_reply r;
        std::string sess = s.session_hdr.empty() ? "" : "Session: " + s.session_hdr + "\r\n";
        request(s, "TEARDOWN", url, sess, r);
    }
    for (int *fd : {&s.tcp, &s.rtp, &s.rtcp}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

// ------------------------------------------------------------ receiver
std::atomic<bool> rx_stop{false};

// Reads what the connection of an interleaved session holds and counts the
// RTP packets on channel 0 (the rest, RTCP, is skipped).  It never waits:
// a session whose PLAY failed may still have a blocking socket.
void receive_interleaved(session &s)
{
    char tmp[65536];
    for (;;) {
        ssize_t n = recv(s.tcp, tmp, sizeof tmp, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        s.pending.append(tmp, size_t(n));
    }
    uint64_t bytes = 0, frames = 0;
    size_t off = 0;
    const std::string &b = s.pending;
    while (b.size() - off >= 4 && b[off] == '$') {
        size_t len = (size_t(uint8_t(b[off + 2])) << 8) | uint8_t(b[off + 3]);
        if (b.size() - off < 4 + len) break;
        const unsigned char *p = reinterpret_cast<const unsigned char *>(b.data() + off + 4);
        if (b[off + 1] == 0 && len >= 12 && (p[0] >> 6) == 2) {
            s.seq.add(uint16_t((p[2] << 8) | p[3]));
            frames += p[1] >> 7;
            bytes += len;
        }
        off += 4 + len;
    }
    s.pending.erase(0, off);
    s.packets.store(s.seq.received, std::memory_order_relaxed);
    s.bytes.fetch_add(bytes, std::memory_order_relaxed);
    s.frames.fetch_add(frames, std::memory_order_relaxed);
    s.lost.store(s.seq.lost(), std::memory_order_relaxed);
}

void receive_loop(std::vector<std::unique_ptr<session>> *sessions)
{
    pthread_setname_np(pthread_self(), "load_rx");
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < sessions->size(); ++i) {
        session &s = *(*sessions)[i];
        for (int k = 0; k < 2; ++k) {
            int fd = k == 0 ? (s.rtp >= 0 ? s.rtp : s.tcp) : s.rtcp;
            if (fd < 0) continue;
            struct epoll_event ev = {};
            ev.events = EPOLLIN;
            ev.data.u64 = (uint64_t(i) << 1) | uint64_t(k);
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        }
    }
    constexpr int kBatch = 64;
    static unsigned char bufs[kBatch][2048];
    static char ctrl[kBatch][CMSG_SPACE(sizeof(uint32_t))];
    struct mmsghdr msgs[kBatch];
    struct iovec iov[kBatch];
    struct epoll_event evs[64];
    while (!rx_stop.load(std::memory_order_relaxed)) {
        int n = epoll_wait(ep, evs, 64, 100);
        for (int e = 0; e < n; ++e) {
            session &s = *(*sessions)[evs[e].data.u64 >> 1];
            bool is_rtcp = evs[e].data.u64 & 1;
            int fd = is_rtcp ? s.rtcp : s.rtp;
            if (fd < 0) {
                receive_interleaved(s);
                continue;
            }
            for (;;) {
                for (int m = 0; m < kBatch; ++m) {
                    iov[m] = {bufs[m], sizeof bufs[m]};
                    msgs[m].msg_hdr = {};
                    msgs[m].msg_hdr.msg_iov = &iov[m];
                    msgs[m].msg_hdr.msg_iovlen = 1;
                    msgs[m].msg_hdr.msg_control = ctrl[m];
                    msgs[m].msg_hdr.msg_controllen = sizeof ctrl[m];
                }
                int got = recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
                if (got <= 0) break;
                if (is_rtcp) continue;  // sender reports: drained, not counted
                uint64_t bytes = 0, frames = 0;
                for (int m = 0; m < got; ++m) {
                    unsigned len = msgs[m].msg_len;
                    const unsigned char *p = bufs[m];
                    if (len < 12 || (p[0] >> 6) != 2) continue;
                    s.seq.add(uint16_t((p[2] << 8) | p[3]));
                    frames += p[1] >> 7;
                    bytes += len;
                    for (cmsghdr *c = CMSG_FIRSTHDR(&msgs[m].msg_hdr); c;
                         c = CMSG_NXTHDR(&msgs[m].msg_hdr, c)) {
                        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                            memcpy(&s.last_ovfl, CMSG_DATA(c), sizeof s.last_ovfl);
                    }
                }
                s.packets.store(s.seq.received, std::memory_order_relaxed);
                s.bytes.fetch_add(bytes, std::memory_order_relaxed);
                s.frames.fetch_add(frames, std::memory_order_relaxed);
                s.lost.store(s.seq.lost(), std::memory_order_relaxed);
                s.sock_drops.store(s.last_ovfl, std::memory_order_relaxed);
                if (got < kBatch) break;
            }
        }
    }
    close(ep);
}

// ------------------------------------------------------------ /proc meter
struct task_cpu {
    std::string name;
    double cpu_s = 0;
};

bool read_file(const std::string &path, std::string &out)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f) return false;
    char buf[4096];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    out = buf;
    return true;
}

// CPU seconds of one task: run time from schedstat (ns) when the kernel
// provides it, else utime + stime from stat (clock ticks).
double task_cpu_seconds(const std::string &dir)
{
    std::string txt;
    if (read_file(dir + "/schedstat", txt)) {
        unsigned long long ns = strtoull(txt.c_str(), nullptr, 10);
        return ns / 1e9;
    }
    if (!read_file(dir + "/stat", txt)) return 0;
    size_t rp = txt.rfind(')');
    if (rp == std::string::npos) return 0;
    // Fields after the command: state(3) ... utime(14) stime(15).
    const char *p = txt.c_str() + rp + 2;
    unsigned long long ut = 0, st = 0;
    int field = 3;
    while (*p && field < 14) {
        if (*p++ == ' ') field++;
    }
    if (sscanf(p, "%llu %llu", &ut, &st) != 2) return 0;
    return double(ut + st) / sysconf(_SC_CLK_TCK);
}

bool name_matches(const std::string &name, const std::vector<std::string> &prefixes)
{
    for (const auto &p : prefixes)
        if (name.compare(0, p.size(), p) == 0) return true;
    return false;
}

std::map<int, task_cpu> sample_tasks(int pid, const std::vector<std::string> &include,
                                     const std::vector<std::string> &exclude, bool all)
{
    std::map<int, task_cpu> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string tdir = dir + "/" + e->d_name;
        std::string comm;
        if (!read_file(tdir + "/comm", comm)) continue;
        while (!comm.empty() && (comm.back() == '\n')) comm.pop_back();
        if (name_matches(comm, exclude)) continue;
        if (!all && !name_matches(comm, include)) continue;
        out[atoi(e->d_name)] = task_cpu{comm, task_cpu_seconds(tdir)};
    }
    closedir(d);
    return out;
}

// Whole-process CPU (includes threads that already ended), clock ticks.
double process_cpu_seconds(int pid)
{
    std::string txt;
    if (!read_file("/proc/" + std::to_string(pid) + "/stat", txt)) return 0;
    size_t rp = txt.rfind(')');
    if (rp == std::string::npos) return 0;
    const char *p = txt.c_str() + rp + 2;
    int field = 3;
    while (*p && field < 14) {
        if (*p++ == ' ') field++;
    }
    unsigned long long ut = 0, st = 0;
    if (sscanf(p, "%llu %llu", &ut, &st) != 2) return 0;
    return double(ut + st) / sysconf(_SC_CLK_TCK);
}

long status_kb(int pid, const char *key)
{
    std::string txt;
    if (!read_file("/proc/" + std::to_string(pid) + "/status", txt)) return -1;
    size_t p = txt.find(key);
    if (p == std::string::npos) return -1;
    return strtol(txt.c_str() + p + strlen(key) + 1, nullptr, 10);
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse_options(argc, argv, o)) {
        usage(argv[0]);
        return 2;
    }
    url_parts u;
    if (!parse_url(o.url, u)) {
        fprintf(stderr, "bad url %s\n", o.url.c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const bool all_threads = o.threads == "all";
    const auto include = split_list(o.threads), exclude = split_list(o.exclude);

    std::vector<std::unique_ptr<session>> sessions;
    int next_port = o.client_port_base;
    int started = 0;
    for (int i = 0; i < o.sessions; ++i) {
        sessions.emplace_back(new session());
        session &s = *sessions.back();
        s.id = i;
        std::string err;
        if (start_session(s, o.url, u, &next_port, o.tcp, err)) {
            started++;
        } else {
            fprintf(stderr, "[%s] session %d: %s\n", o.label.c_str(), i, err.c_str());
        }
    }
    std::thread rx(receive_loop, &sessions);

    // Let every session's stream start before the window opens.  A server
    // may hold a new session's picture until the next key frame, so wait
    // (a few GOPs at most) until every playing session has had a whole
    // frame; otherwise the window counts those sessions' idle start and the
    // frame rate looks lower than what is delivered.
    std::this_thread::sleep_for(std::chrono::duration<double>(o.settle_s));
    for (const double give_up = now_s() + 10; now_s() < give_up;) {
        bool all = true;
        for (auto &s : sessions)
            if (s->playing && s->frames.load(std::memory_order_relaxed) == 0) all = false;
        if (all) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    auto sum = [&](std::atomic<uint64_t> session::*field) {
        uint64_t t = 0;
        for (auto &s : sessions) t += ((*s).*field).load(std::memory_order_relaxed);
        return t;
    };
    const uint64_t bytes0 = sum(&session::bytes), packets0 = sum(&session::packets);
    const uint64_t frames0 = sum(&session::frames);
    std::map<int, task_cpu> cpu0;
    double proc0 = 0;
    if (o.pid > 0) {
        cpu0 = sample_tasks(o.pid, include, exclude, all_threads);
        proc0 = process_cpu_seconds(o.pid);
    }
    const double t0 = now_s();
    long rss_max = 0;
    double last_keepalive = now_s();
    while (now_s() - t0 < o.duration_s) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        if (o.pid > 0) rss_max = std::max(rss_max, status_kb(o.pid, "VmRSS:"));
        // Servers drop a session after about a minute without a request.
        if (now_s() - last_keepalive > 25) {
            last_keepalive = now_s();
            for (auto &s : sessions) {
                if (!s->playing) continue;
                rtsp_reply r;
                std::string sess = s->session_hdr.empty() ? "" : "Session: " + s->session_hdr + "\r\n";
                request(*s, "OPTIONS", o.url, sess, r);
            }
        }
    }
    const double window = now_s() - t0;
    std::map<int, task_cpu> cpu1;
    double proc1 = 0;
    long rss_end = -1;
    if (o.pid > 0) {
        cpu1 = sample_tasks(o.pid, include, exclude, all_threads);
        proc1 = process_cpu_seconds(o.pid);
        rss_end = status_kb(o.pid, "VmRSS:");
    }
    // The heap meter's line, taken while every session still plays.
    long heap_live = -1, heap_peak = -1, heap_blocks = -1;
    if (!o.heap_file.empty()) {
        std::string txt;
        if (read_file(o.heap_file, txt))
            sscanf(txt.c_str(), "live_bytes=%ld live_blocks=%ld peak_bytes=%ld", &heap_live,
                   &heap_blocks, &heap_peak);
    }
    const uint64_t bytes1 = sum(&session::bytes), packets1 = sum(&session::packets);
    const uint64_t frames1 = sum(&session::frames);
    const double fps = started ? (frames1 - frames0) / window / started : 0.0;

    rx_stop = true;
    rx.join();
    for (auto &s : sessions) stop_session(*s, o.url);

    // Loss and client drops over each session's whole life.
    uint64_t lost = 0, expected = 0, drops = 0, received = 0;
    uint64_t min_pk = UINT64_MAX, max_pk = 0;
    for (auto &s : sessions) {
        if (!s->playing) continue;
        lost += s->seq.lost();
        expected += s->seq.expected();
        received += s->seq.received;
        drops += s->last_ovfl;
        min_pk = std::min<uint64_t>(min_pk, s->seq.received);
        max_pk = std::max<uint64_t>(max_pk, s->seq.received);
    }
    if (started == 0) min_pk = 0;
    const double mbit = (bytes1 - bytes0) * 8.0 / 1e6;

    printf("[%s] sessions %d/%d, window %.1f s\n", o.label.c_str(), started, o.sessions, window);
    printf("[%s] received %llu packets (per session %llu..%llu), window %.1f Mbit (%.2f Mbit/s, "
           "%.0f pkt/s, %.1f frames/s per session)\n",
           o.label.c_str(), (unsigned long long)received, (unsigned long long)min_pk,
           (unsigned long long)max_pk, mbit, mbit / window, (packets1 - packets0) / window, fps);
    printf("[%s] loss %llu of %llu expected (%.3f%%); client socket drops %llu\n", o.label.c_str(),
           (unsigned long long)lost, (unsigned long long)expected,
           expected ? 100.0 * lost / expected : 0.0, (unsigned long long)drops);

    double cpu = 0;
    if (o.pid > 0) {
        std::map<std::string, double> by_name;
        for (const auto &kv : cpu1) {
            auto it = cpu0.find(kv.first);
            double d = kv.second.cpu_s - (it == cpu0.end() ? 0 : it->second.cpu_s);
            by_name[kv.second.name] += d;
            cpu += d;
        }
        int gone = 0;
        for (const auto &kv : cpu0)
            if (!cpu1.count(kv.first)) gone++;
        if (all_threads && exclude.empty()) cpu = std::max(cpu, proc1 - proc0);
        std::string names;
        for (const auto &kv : by_name) {
            char b[96];
            snprintf(b, sizeof b, "%s%s=%.3f", names.empty() ? "" : " ", kv.first.c_str(), kv.second);
            names += b;
        }
        printf("[%s] threads counted (%s): %s%s\n", o.label.c_str(),
               all_threads ? "all" : o.threads.c_str(), names.c_str(),
               gone ? " (some ended during the window)" : "");
        printf("[%s] cpu %.3f s in window (whole process %.2f s), %.4f cpu-s per Mbit, "
               "rss %ld kB (max %ld kB)\n",
               o.label.c_str(), cpu, proc1 - proc0, mbit > 0 ? cpu / mbit : 0.0, rss_end, rss_max);
    }
    if (!o.heap_file.empty())
        printf("[%s] library heap %ld bytes in %ld blocks (peak %ld bytes)\n", o.label.c_str(),
               heap_live, heap_blocks, heap_peak);
    // One machine-readable line for run.sh.
    printf("RESULT label=%s sessions=%d started=%d window_s=%.2f mbit=%.3f packets=%llu "
           "expected=%llu lost=%llu loss_pct=%.4f client_drops=%llu cpu_s=%.4f "
           "cpu_s_per_mbit=%.6f rss_kb=%ld fps=%.2f heap_bytes=%ld heap_peak_bytes=%ld\n",
           o.label.c_str(), o.sessions, started, window, mbit, (unsigned long long)received,
           (unsigned long long)expected, (unsigned long long)lost,
           expected ? 100.0 * lost / expected : 0.0, (unsigned long long)drops, cpu,
           mbit > 0 ? cpu / mbit : 0.0, rss_end, fps, heap_live, heap_peak);
    return started == o.sessions ? 0 : 1;
}
