// The RTSP server on loopback, serving a registered fake source that hands
// out canned H.264 frames every 40 ms.  Each test runs its own server on a
// free TCP port; RTP goes from the server's ports (from 10000) to UDP
// sockets of the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dovu.h"
#include "dovu_rtsp.h"
#include "ll_lock.h"
#include "ll_log.h"
#include "rtsp_interleave.h"
#include "rtsp_rtcp.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;

// ---- fake source ---------------------------------------------------------

std::atomic<int> g_starts{0}, g_releases{0};
std::atomic<bool> g_paused{false};
int g_handle;

uint64_t now_ms()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
}

int32_t fake_init(const char *) { return 0; }
void fake_exit(void) {}
int32_t fake_info(void *, audio_info *, video_info *v)
{
    v->type = VIDEO_TYPE_H264;
    v->fps = 25;
    return 0;
}
void *fake_vstart(void *chn)
{
    if (strcmp(static_cast<const char *>(chn), "main") != 0)
        return nullptr;
    g_starts++;
    return &g_handle;
}
void fake_vrelease(void *h)
{
    if (h)
        g_releases++;
}
// Newest frame every 40 ms: a 2500-byte slice (two FU-A packets); every
// tenth frame is a key frame with SPS and PPS before an IDR slice.
void fake_vdata(void *, unsigned char *buf, unsigned int *size, unsigned long long *ts)
{
    if (g_paused) {
        *size = 0;
        return;
    }
    uint64_t t = now_ms() / 40 * 40;
    bool key = (t / 40) % 10 == 0;
    unsigned n = 0;
    if (key) {
        static const unsigned char ps[] = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1f, 0, 0, 0, 1, 0x68, 0xce};
        memcpy(buf, ps, sizeof(ps));
        n = sizeof(ps);
    }
    const unsigned char slice[] = {0, 0, 0, 1, (unsigned char)(key ? 0x65 : 0x41)};
    memcpy(buf + n, slice, sizeof(slice));
    n += sizeof(slice);
    for (unsigned i = 0; i < 2500; i++)
        buf[n + i] = (unsigned char)((i + t) % 200 + 10);
    *size = n + 2500;
    *ts = t;
}
void *fake_astart(void *) { return nullptr; }
void fake_arelease(void *) {}
void fake_adata(void *, unsigned char *, unsigned int *size, unsigned long long *) { *size = 0; }

/* What descriptor fd of this process is ("socket:[inode]", a path...);
 * "" when it is not open. */
std::string fd_target(int fd)
{
    char link[64], target[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, (size_t)n) : std::string();
}

/* Whether a socket of this process listens on TCP port `port` (its
 * inode, from /proc/net/tcp, among this process's descriptors). */
bool listens_here(int port)
{
    FILE *f = fopen("/proc/net/tcp", "r");
    if (!f)
        return false;
    std::vector<std::string> sockets;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        unsigned local_port = 0, state = 0;
        unsigned long inode = 0;
        /* "sl: local rem st tx:rx tr:when retrnsmt uid timeout inode" */
        if (sscanf(line, " %*d: %*8X:%X %*8X:%*X %X %*X:%*X %*X:%*X %*X %*u %*u %lu", &local_port,
                   &state, &inode) == 3 &&
            (int)local_port == port && state == 0x0A)
            sockets.push_back("socket:[" + std::to_string(inode) + "]");
    }
    fclose(f);
    for (int fd = 0; fd < 4096 && !sockets.empty(); fd++) {
        const std::string target = fd_target(fd);
        for (const std::string &s : sockets)
            if (s == target)
                return true;
    }
    return false;
}

class SourceEnv : public ::testing::Environment {
public:
    void SetUp() override
    {
        dovu_init("dovu.conf");
        /* dovu_init's server opens its epoll, spare and listening
         * descriptors on its own thread; the tests count descriptors, so
         * they start once it listens (the last of the three). */
        EXPECT_TRUE(tvrtest::wait_until([] { return listens_here(DOVU_RTSP_PORT); }, 10000))
            << "the library's server does not listen on port " << DOVU_RTSP_PORT;
        ll_set_log_level(LOG_LEVEL_WARNING);
        src_ops ops = {fake_init, fake_exit, fake_info, {fake_vstart, fake_vrelease, fake_vdata},
                       {fake_astart, fake_arelease, fake_adata}};
        ASSERT_NE(dovu_register_av_source("fake", "fake.conf", &ops), nullptr);
    }
    void TearDown() override { dovu_exit(); }
};
::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(new SourceEnv);

// ---- clients -------------------------------------------------------------

int free_tcp_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
    socklen_t l = sizeof(sa);
    getsockname(s, reinterpret_cast<sockaddr *>(&sa), &l);
    close(s);
    return ntohs(sa.sin_port);
}

class Client {
public:
    explicit Client(int port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons((uint16_t)port);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0;
    }
    ~Client() { hang_up(); }
    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void hang_up()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    void send_text(const std::string &s) { ASSERT_EQ(send(fd_, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size()); }

    // Next complete reply (headers and Content-Length body), or "" after
    // timeout_ms or when the server closed the connection.
    std::string reply(int timeout_ms = 2000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t end = buf_.find("\r\n\r\n");
            if (end != std::string::npos) {
                size_t body = 0;
                size_t cl = buf_.find("Content-Length: ");
                if (cl != std::string::npos && cl < end)
                    body = std::stoul(buf_.substr(cl + 16));
                if (buf_.size() >= end + 4 + body) {
                    std::string r = buf_.substr(0, end + 4 + body);
                    buf_.erase(0, end + 4 + body);
                    return r;
                }
            }
            if (!fill(until))
                return "";
        }
    }
    std::string request(const std::string &req) { send_text(req); return reply(); }

    // Next message of a connection that carries media: an interleaved
    // packet (*ch its channel) or a reply (*ch -1).  false after
    // timeout_ms or at the end of the stream.
    bool next_message(int *ch, std::string *body, int timeout_ms = 2000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            rtsp_msg m;
            int r = rtsp_next_message(buf_.data(), buf_.size(), 1 << 16, &m);
            if (r < 0)
                return false;
            if (r == 1 && buf_.size() - m.skip >= m.len) {
                bool ilv = m.kind == RTSP_MSG_INTERLEAVED;
                *ch = ilv ? m.channel : -1;
                *body = buf_.substr(m.skip + (ilv ? RTSP_ILV_HEADER_SIZE : 0),
                                    m.len - (ilv ? RTSP_ILV_HEADER_SIZE : 0));
                buf_.erase(0, m.skip + m.len);
                return true;
            }
            if (!fill(until))
                return false;
        }
    }

    // True when the server closes the connection within timeout_ms.
    bool closed_by_server(int timeout_ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (fill(until)) {
        }
        return eof_;
    }

private:
    bool fill(std::chrono::steady_clock::time_point until)
    {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       until - std::chrono::steady_clock::now())
                       .count();
        if (left <= 0 || eof_)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            return false;
        char b[4096];
        ssize_t n = recv(fd_, b, sizeof(b), 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        buf_.append(b, (size_t)n);
        return true;
    }
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    std::string buf_;
};

struct Udp {
    Udp()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
        socklen_t l = sizeof(sa);
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &l);
        port = ntohs(sa.sin_port);
    }
    ~Udp() { close(fd); }
    // Next datagram within timeout_ms, or empty.
    std::vector<uint8_t> recv_packet(int timeout_ms = 1000)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return {};
        std::vector<uint8_t> b(2000);
        ssize_t n = recv(fd, b.data(), b.size(), 0);
        b.resize(n > 0 ? (size_t)n : 0);
        return b;
    }
    void drain()
    {
        while (!recv_packet(0).empty()) {
        }
    }
    int fd;
    int port;
};

std::string req(const char *method, const std::string &url, int cseq, const std::string &extra = "")
{
    return std::string(method) + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" +
           extra + "\r\n";
}

/* Descriptors open in this process (the server runs in it). */
int open_fds()
{
    int n = 0;
    for (int fd = 0; fd < 4096; fd++)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

/* What each open descriptor is, for a failure message. */
std::string fd_targets()
{
    std::string out;
    for (int fd = 0; fd < 4096; fd++)
        if (fcntl(fd, F_GETFD) != -1)
            out += std::to_string(fd) + "=" + fd_target(fd) + " ";
    return out;
}

/* Bytes the client on client_fd has sent that the server has not read yet
 * (the receive queue of the server's end, from /proc/net/tcp); -1 when the
 * server's end is not found. */
int server_unread(int client_fd)
{
    sockaddr_in me{}, peer{};
    socklen_t l = sizeof(me);
    if (getsockname(client_fd, reinterpret_cast<sockaddr *>(&me), &l) != 0)
        return -1;
    l = sizeof(peer);
    if (getpeername(client_fd, reinterpret_cast<sockaddr *>(&peer), &l) != 0)
        return -1;
    FILE *f = fopen("/proc/net/tcp", "r");
    if (!f)
        return -1;
    char line[512];
    int unread = -1;
    while (unread < 0 && fgets(line, sizeof line, f)) {
        unsigned local_port = 0, remote_port = 0, tx = 0, rx = 0;
        /* "sl: local rem st tx_queue:rx_queue ...", addresses as ADDR:PORT in hex */
        if (sscanf(line, " %*d: %*8X:%X %*8X:%X %*X %X:%X", &local_port, &remote_port, &tx, &rx) == 4 &&
            local_port == ntohs(peer.sin_port) && remote_port == ntohs(me.sin_port))
            unread = (int)rx;
    }
    fclose(f);
    return unread;
}

/* Sessions of the server's first channel, live and retired but not yet
 * removed; 0 without a channel.  Only while a session the test holds keeps
 * that channel attached. */
int channel_sessions(rtsp_t *srv)
{
    rtsp_channel_t *c = nullptr;
    {
        ll_lock lk(&srv->mutex_chn);
        if (!list_empty(&srv->list_head_chn))
            c = list_first_entry(&srv->list_head_chn, rtsp_channel_t, list);
    }
    if (!c)
        return 0;
    int n = 0;
    ll_lock lk(&c->mutex_session);
    struct list_head *pos;
    list_for_each(pos, &c->list_head_session) n++;
    list_for_each(pos, &c->list_head_dead) n++;
    return n;
}

class Server : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_paused = false;
        port_ = free_tcp_port();
        srv_ = rtsp_create_on_port(0, port_);
        ASSERT_NE(srv_, nullptr);
        ASSERT_TRUE(tvrtest::wait_until(
            [&] { return __atomic_load_n(&srv_->listening, __ATOMIC_ACQUIRE) != 0; }, 2000));
        starts0_ = g_starts;
        releases0_ = g_releases;
        url_ = "rtsp://127.0.0.1:" + std::to_string(port_) + "/fake/main";
    }
    void TearDown() override
    {
        rtsp_destroy(srv_);
        EXPECT_EQ(g_starts - starts0_, g_releases - releases0_) << "every start is released";
    }
    // OPTIONS, SETUP to udp, PLAY.
    void play(Client &c, Udp &u, int cseq = 1)
    {
        ASSERT_EQ(c.request(req("OPTIONS", url_, cseq)).rfind("RTSP/1.0 200 OK", 0), 0u);
        std::string t = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(u.port) + "-" +
                        std::to_string(u.port + 1) + "\r\n";
        std::string r = c.request(req("SETUP", url_ + "/track0", cseq + 1, t));
        ASSERT_NE(r.find("server_port="), std::string::npos) << r;
        ASSERT_EQ(c.request(req("PLAY", url_, cseq + 2)).rfind("RTSP/1.0 200 OK", 0), 0u);
    }
    int starts() const { return g_starts - starts0_; }
    int releases() const { return g_releases - releases0_; }

    int port_ = 0;
    rtsp_t *srv_ = nullptr;
    int starts0_ = 0, releases0_ = 0;
    std::string url_;
};

TEST_F(Server, InterleavedSessionCarriesRtpRtcpAndRequestsUntilBye)
{
    Client c(port_);
    ASSERT_EQ(c.request(req("OPTIONS", url_, 1)).rfind("RTSP/1.0 200 OK", 0), 0u);
    std::string r = c.request(req("SETUP", url_ + "/track0", 2,
                                  "Transport: RTP/AVP/TCP;unicast;interleaved=4-5\r\n"));
    ASSERT_NE(r.find("Transport: RTP/AVP/TCP;unicast;interleaved=4-5\r\n"), std::string::npos) << r;
    ASSERT_EQ(c.request(req("PLAY", url_, 3)).rfind("RTSP/1.0 200 OK", 0), 0u);

    // Media, a sender report of the same stream, and a request with the
    // client's receiver report in between: its reply comes among the media.
    int rtp = 0, ch = 0;
    int seq = -1;
    uint32_t ssrc = 0, sr_ssrc = 0;
    bool sr = false, replied = false;
    std::string body;
    const uint8_t rr[] = {0x80, 201, 0, 1, 1, 2, 3, 4};
    c.send_text(std::string("$\x05\x00\x08", 4) + std::string(reinterpret_cast<const char *>(rr), 8) +
                req("OPTIONS", url_, 4));
    while ((rtp < 30 || !sr || !replied) && c.next_message(&ch, &body)) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(body.data());
        if (ch == 4) {
            ASSERT_GE(body.size(), 12u);
            EXPECT_EQ(p[1] & 0x7f, 96);
            int s = (p[2] << 8) | p[3];
            if (seq >= 0) {
                EXPECT_EQ(s, (seq + 1) & 0xffff) << "a packet missing on the connection";
            }
            seq = s;
            memcpy(&ssrc, p + 8, 4);
            rtp++;
        } else if (ch == 5) {
            rtcp_summary sum;
            ASSERT_EQ(rtcp_parse(p, body.size(), &sum), 1);
            EXPECT_EQ(sum.sr, 1);
            sr_ssrc = htonl(sum.sender_ssrc);
            sr = true;
        } else {
            ASSERT_EQ(ch, -1);
            EXPECT_EQ(body.rfind("RTSP/1.0 200 OK\r\nCseq: 4\r\n", 0), 0u) << body;
            replied = true;
        }
    }
    EXPECT_GE(rtp, 30);
    EXPECT_TRUE(sr);
    EXPECT_EQ(sr_ssrc, ssrc) << "report of another stream";
    EXPECT_TRUE(replied);

    // TEARDOWN: a BYE on the RTCP channel, then the reply.
    c.send_text(req("TEARDOWN", url_, 5));
    bool bye = false;
    while (c.next_message(&ch, &body)) {
        if (ch == 5) {
            rtcp_summary sum;
            bye = rtcp_parse(reinterpret_cast<const uint8_t *>(body.data()), body.size(), &sum) == 1 &&
                  sum.bye == 1;
        } else if (ch == -1) {
            EXPECT_EQ(body.rfind("RTSP/1.0 200 OK\r\nCSeq: 5\r\n", 0), 0u) << body;
            break;
        }
    }
    EXPECT_TRUE(bye) << "no BYE before the TEARDOWN reply";
    EXPECT_TRUE(c.closed_by_server(2000));
}

TEST_F(Server, FullExchangeDeliversRtpAndTeardownClosesAndDetaches)
{
    Client c(port_);
    Udp u;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.request(req("OPTIONS", url_, 1)),
              "RTSP/1.0 200 OK\r\nCseq: 1\r\nPublic: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY\r\n\r\n");
    std::string d = c.request(req("DESCRIBE", url_, 2));
    size_t cl = d.find("Content-Length: ");
    ASSERT_NE(cl, std::string::npos) << d;
    EXPECT_EQ(std::stoul(d.substr(cl + 16)), d.size() - (d.find("\r\n\r\n") + 4)) << d;
    EXPECT_NE(d.find("m=video 0 RTP/AVP 96\r\n"), std::string::npos) << d;
    std::string t = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(u.port) + "-" +
                    std::to_string(u.port + 1) + "\r\n";
    std::string s = c.request(req("SETUP", url_ + "/track0", 3, t));
    // A pair counted from 10000 (the first free one: other servers on this
    // machine may hold the lowest).
    size_t sp = s.find("server_port=");
    ASSERT_NE(sp, std::string::npos) << s;
    int rtp_port = std::stoi(s.substr(sp + 12));
    EXPECT_GE(rtp_port, 10000);
    EXPECT_EQ(rtp_port % 2, 0);
    EXPECT_NE(s.find("server_port=" + std::to_string(rtp_port) + "-" + std::to_string(rtp_port + 1)),
              std::string::npos) << s;
    EXPECT_EQ(c.request(req("PLAY", url_, 4)).rfind("RTSP/1.0 200 OK\r\nCSeq: 4\r\nRange:", 0), 0u);
    EXPECT_EQ(starts(), 1);

    // Video starts with a key frame: SPS first.  Then whole frames, the
    // marker on the frame's last packet (the end of the slice's FU-A).
    std::vector<std::vector<uint8_t>> pkts;
    for (int i = 0; i < 30; i++) {
        auto p = u.recv_packet();
        ASSERT_FALSE(p.empty()) << "no RTP after PLAY";
        pkts.push_back(p);
    }
    EXPECT_EQ(pkts[0][12] & 0x1f, 7) << "first packet is not the SPS of a key frame";
    for (size_t i = 0; i < pkts.size(); i++) {
        const auto &p = pkts[i];
        ASSERT_EQ(p[0], 0x80);
        EXPECT_EQ(p[1] & 0x7f, 96);
        bool fu_end = (p[12] & 0x1f) == 28 && (p[13] & 0x40);
        EXPECT_EQ((p[1] & 0x80) != 0, fu_end) << "marker on the frame's last packet only";
        if (i > 0) {
            uint16_t prev = (uint16_t)(pkts[i - 1][2] << 8 | pkts[i - 1][3]);
            uint16_t seq = (uint16_t)(p[2] << 8 | p[3]);
            EXPECT_EQ((uint16_t)(prev + 1), seq);
            EXPECT_EQ(0, memcmp(&p[8], &pkts[0][8], 4)) << "one SSRC";
        }
    }

    // Detached by the TEARDOWN itself, not by the session sweep (65 s).
    EXPECT_EQ(c.request(req("TEARDOWN", url_, 5)), "RTSP/1.0 200 OK\r\nCSeq: 5\r\n\r\n");
    EXPECT_TRUE(c.closed_by_server(1000)) << "connection not closed after TEARDOWN";
    EXPECT_TRUE(tvrtest::wait_until([&] { return releases() == 1; }, 2500))
        << "channel not detached";
}

TEST_F(Server, TwoClientsShareOneChannelAndOneStream)
{
    Client a(port_), b(port_);
    Udp ua, ub;
    play(a, ua);
    play(b, ub);
    EXPECT_EQ(starts(), 1);

    // Both receive the same bytes for the same sequence number.
    ua.drain();
    ub.drain();
    auto pa = ua.recv_packet();
    ASSERT_FALSE(pa.empty());
    std::vector<uint8_t> pb;
    for (int i = 0; i < 20 && (pb.empty() || memcmp(&pb[2], &pa[2], 2) != 0); i++)
        pb = ub.recv_packet();
    ASSERT_FALSE(pb.empty());
    EXPECT_EQ(pa, pb);

    // a's session goes with its connection and its UDP pair, in the server
    // thread's check that detaches a channel left without sessions; a reply
    // to b after that shows the check is over.
    const int fds_both = open_fds();
    EXPECT_EQ(a.request(req("TEARDOWN", url_, 9)).rfind("RTSP/1.0 200 OK", 0), 0u);
    EXPECT_TRUE(a.closed_by_server(1000));
    EXPECT_TRUE(tvrtest::wait_until([&] { return open_fds() <= fds_both - 3; }, 2500))
        << "a's session not removed: " << fds_both << " descriptors, now " << open_fds();
    EXPECT_EQ(b.request(req("OPTIONS", url_, 8)).rfind("RTSP/1.0 200 OK", 0), 0u);
    EXPECT_EQ(releases(), 0) << "released while a session remains";
    EXPECT_FALSE(ub.recv_packet().empty()) << "second client stopped receiving";

    EXPECT_EQ(b.request(req("TEARDOWN", url_, 9)).rfind("RTSP/1.0 200 OK", 0), 0u);
    EXPECT_TRUE(tvrtest::wait_until([&] { return releases() == 1; }, 2500));
    EXPECT_EQ(starts(), 1);
}

TEST_F(Server, FramingAcrossSegmentsPipelinesAndSmallReads)
{
    Client c(port_);
    // One request in two segments, the server reading the first before the
    // second is sent.
    auto read_by_server = [&] { return server_unread(c.fd()) == 0; };
    std::string r1 = req("OPTIONS", url_, 1);
    c.send_text(r1.substr(0, 20));
    ASSERT_TRUE(tvrtest::wait_until(read_by_server, 2000)) << "unread: " << server_unread(c.fd());
    c.send_text(r1.substr(20));
    EXPECT_EQ(c.reply().rfind("RTSP/1.0 200 OK\r\nCseq: 1\r\n", 0), 0u);

    // Two requests in one write: two replies, in order.
    c.send_text(req("OPTIONS", url_, 2) + req("DESCRIBE", url_, 3));
    EXPECT_EQ(c.reply().rfind("RTSP/1.0 200 OK\r\nCseq: 2\r\n", 0), 0u);
    EXPECT_EQ(c.reply().rfind("RTSP/1.0 200 OK\r\nCseq: 3\r\nContent-Type", 0), 0u);

    // A request dribbled in 3-byte reads.
    std::string r4 = req("OPTIONS", url_, 4);
    for (size_t i = 0; i < r4.size(); i += 3) {
        c.send_text(r4.substr(i, 3));
        ASSERT_TRUE(tvrtest::wait_until(read_by_server, 2000)) << "unread: " << server_unread(c.fd());
    }
    EXPECT_EQ(c.reply().rfind("RTSP/1.0 200 OK\r\nCseq: 4\r\n", 0), 0u);
    EXPECT_EQ(c.reply(200), "") << "exactly one reply per request";
}

TEST_F(Server, UnansweredAndRefusedRequests)
{
    Client c(port_);
    // A 50-character URL is refused with 414; the connection stays usable.
    std::string long_url = "rtsp://127.0.0.1/fake/main/" + std::string(23, 'x');
    ASSERT_EQ(long_url.size(), 50u);
    EXPECT_EQ(c.request(req("OPTIONS", long_url, 1)),
              "RTSP/1.0 414 Request-URI Too Long\r\nCSeq: 1\r\n\r\n");
    EXPECT_EQ(c.request(req("OPTIONS", "*", 2)), "RTSP/1.0 503 Service Unavailable\r\nCSeq: 2\r\n\r\n");
    EXPECT_EQ(c.request(req("DESCRIBE", "rtsp://127.0.0.1/fake/other", 3)),
              "RTSP/1.0 404 Not Found\r\nCSeq: 3\r\n\r\n");
    EXPECT_EQ(starts(), 0);
}

TEST_F(Server, RequestNearBufferLimitIsAnswered)
{
    // About 3000 bytes: logged (and cut by the log) and answered.
    Client c(port_);
    std::string r = req("OPTIONS", url_, 7, "X-Pad: " + std::string(2900, 'p') + "\r\n");
    ASSERT_LT(r.size(), 3071u);
    EXPECT_EQ(c.request(r).rfind("RTSP/1.0 200 OK\r\nCseq: 7\r\n", 0), 0u);
}

int no_thread(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)
{
    return EAGAIN;
}

TEST_F(Server, ChannelWhoseVideoThreadCannotStartReleasesItsStream)
{
    Client c(port_);
    rtsp__set_thread_create(no_thread);
    std::string r = c.request(req("OPTIONS", url_, 1));
    rtsp__set_thread_create(nullptr);
    EXPECT_EQ(r, "RTSP/1.0 503 Service Unavailable\r\nCSeq: 1\r\n\r\n");
    EXPECT_EQ(starts(), 1);
    EXPECT_EQ(releases(), 1) << "the started stream was left started";
    // The next attempt works.
    EXPECT_EQ(c.request(req("OPTIONS", url_, 2)).rfind("RTSP/1.0 200 OK", 0), 0u);
}

TEST(ServerCreate, NoServerThreadMeansNoServer)
{
    rtsp__set_thread_create(no_thread);
    rtsp_t *srv = rtsp_create_on_port(0, free_tcp_port());
    rtsp__set_thread_create(nullptr);
    EXPECT_EQ(srv, nullptr);
}

TEST(ServerBind, PortInUseLeavesAnObjectThatNeverServes)
{
    int port = free_tcp_port();
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    rtsp_t *srv = rtsp_create_on_port(0, port);
    ASSERT_NE(srv, nullptr);
    EXPECT_TRUE(tvrtest::wait_until(
        [&] { return __atomic_load_n(&srv->is_running, __ATOMIC_ACQUIRE) == 0; }, 2000))
        << "server thread did not end after the failed bind";
    EXPECT_EQ(__atomic_load_n(&srv->listening, __ATOMIC_ACQUIRE), 0);
    rtsp_destroy(srv);
    close(holder);
}

TEST_F(Server, OversizedRequestClosesConnection)
{
    Client c(port_);
    c.send_text("OPTIONS " + url_ + " RTSP/1.0\r\nX-Pad: " + std::string(3200, 'p'));
    EXPECT_TRUE(c.closed_by_server(1000));
}

TEST_F(Server, HungUpClientsSessionNeverClosesReusedDescriptor)
{
    // No frames, so no delivery pass retires anything yet.
    g_paused = true;
    const int fds_before = open_fds();
    const std::string targets_before = fd_targets();
    Client a(port_);
    ASSERT_EQ(a.request(req("OPTIONS", url_, 1)).rfind("RTSP/1.0 200 OK", 0), 0u);
    std::string da = a.request(req("DESCRIBE", url_, 2));
    // A transport without a client port is refused; the session is in
    // error and awaits removal.
    EXPECT_EQ(a.request(req("SETUP", url_ + "/track0", 3, "Transport: RTP/AVP;unicast\r\n")),
              "RTSP/1.0 461 Unsupported Transport\r\nCSeq: 3\r\n\r\n");
    a.hang_up();
    // The server closes a's descriptor (its session's UDP pair stays until removed).
    EXPECT_TRUE(tvrtest::wait_until([&] { return open_fds() <= fds_before; }, 5000))
        << "before: " << targets_before << "\nnow: " << fd_targets();

    Client b(port_);
    ASSERT_EQ(b.request(req("OPTIONS", url_, 1)).rfind("RTSP/1.0 200 OK", 0), 0u);
    std::string db = b.request(req("DESCRIBE", url_, 2));
    auto fd_of = [](const std::string &d) { return d.substr(d.find("o=DOVU "), 12); };
    EXPECT_EQ(fd_of(da), fd_of(db)) << "b did not get a's descriptor number; the check is weaker";

    // Frames flow again: the delivery pass retires a's session, and the
    // server thread removes it; b's session is left.
    g_paused = false;
    EXPECT_TRUE(tvrtest::wait_until([&] { return channel_sessions(srv_) == 1; }, 5000))
        << "a's session not removed: " << channel_sessions(srv_) << " sessions";
    EXPECT_FALSE(b.closed_by_server(200)) << "a's session closed b's connection";
    EXPECT_EQ(b.request(req("OPTIONS", url_, 3)).rfind("RTSP/1.0 200 OK\r\nCseq: 3", 0), 0u);
    Udp u;
    std::string t = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(u.port) + "-" +
                    std::to_string(u.port + 1) + "\r\n";
    ASSERT_NE(b.request(req("SETUP", url_ + "/track0", 4, t)).find("200 OK"), std::string::npos);
    ASSERT_NE(b.request(req("PLAY", url_, 5)).find("200 OK"), std::string::npos);
    EXPECT_FALSE(u.recv_packet().empty());
}

// A session can only be reached through its connection: once the client
// hangs up, the session goes at the next delivery pass (not at the 65 s
// sweep), with its UDP sockets, and the channel is released.
TEST_F(Server, HungUpClientsSessionIsRetiredAndChannelReleased)
{
    Client a(port_), b(port_);
    Udp u, w;
    play(a, u);
    ASSERT_EQ(b.request(req("OPTIONS", url_, 1)).rfind("RTSP/1.0 200 OK", 0), 0u);
    std::string t = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(w.port) + "-" +
                    std::to_string(w.port + 1) + "\r\n";
    ASSERT_NE(b.request(req("SETUP", url_ + "/track0", 2, t)).find("200 OK"), std::string::npos);
    a.hang_up();
    b.hang_up();   // set up, never played
    EXPECT_TRUE(tvrtest::wait_until([&] { return releases() == 1; }, 3000))
        << "sessions of closed connections kept";
    u.drain();   // what was sent before the server saw the hang-up
    EXPECT_TRUE(u.recv_packet(300).empty()) << "packets still sent to a closed client";
}

std::atomic<uint64_t> g_clock_ms{5000000};
uint64_t test_clock() { return g_clock_ms; }

TEST_F(Server, SessionlessConnectionClosedAfterIdleLimit)
{
    rtsp__set_clock(test_clock);
    Client idle(port_), player(port_), talker(port_);
    Udp u;
    play(player, u);
    // A byte a second never completes a request: it does not count.
    talker.send_text("OPT");
    ASSERT_EQ(idle.request(req("DESCRIBE", "rtsp://127.0.0.1/fake/none", 1)).rfind("RTSP/1.0 404", 0), 0u);
    g_clock_ms += RTSP_CONN_IDLE_MS - 1000;
    EXPECT_FALSE(idle.closed_by_server(1500)) << "closed before its idle limit";
    g_clock_ms += 1000;
    EXPECT_TRUE(idle.closed_by_server(3000)) << "sessionless connection kept";
    EXPECT_TRUE(talker.closed_by_server(3000)) << "slow talker kept";
    EXPECT_FALSE(player.closed_by_server(100)) << "a connection with a session was closed";
    EXPECT_EQ(player.request(req("OPTIONS", url_, 9)).rfind("RTSP/1.0 200 OK", 0), 0u);
    rtsp__set_clock(nullptr);
}

TEST_F(Server, ManyClientsConcurrently)
{
    // Sessions added, played and torn down on the server thread while the
    // video thread walks and retires them.
    std::vector<std::thread> th;
    std::atomic<int> ok{0};
    for (int i = 0; i < 6; i++) {
        th.emplace_back([&, i] {
            for (int round = 0; round < 3; round++) {
                Client c(port_);
                Udp u;
                std::string t = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(u.port) +
                                "-" + std::to_string(u.port + 1) + "\r\n";
                if (c.request(req("OPTIONS", url_, 1)).find("200 OK") == std::string::npos)
                    continue;
                c.request(req("SETUP", url_ + "/track0", 2, t));
                c.request(req("PLAY", url_, 3));
                bool got = !u.recv_packet(2000).empty();
                c.request(req("TEARDOWN", url_, 4));
                if (got && c.closed_by_server(2000))
                    ok++;
                (void)i;
            }
        });
    }
    for (auto &t : th)
        t.join();
    EXPECT_EQ(ok, 18);
    EXPECT_TRUE(tvrtest::wait_until([&] { return releases() == starts(); }, 2500));
}

}  // namespace
