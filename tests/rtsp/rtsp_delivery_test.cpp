// The delivery pass's sweep, on channels built by hand: which sessions a
// packet retires, and that a retired session waits in the graveyard for
// the server thread instead of being freed under it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <atomic>
#include <chrono>
#include <thread>
#include <functional>
#include <vector>

#include "ll_log.h"
#include "ll_lock.h"
#include "rtsp_request.h"
#include "rtsp_deliver.h"
#include "rtsp_udp_out.h"
#include "rtsp_test_util.h"
#include "support/log_capture.h"
#include "support/wait.h"

namespace {

size_t count(const struct list_head *head)
{
    size_t n = 0;
    for (const struct list_head *p = head->next; p != head; p = p->next)
        n++;
    return n;
}

class Delivery : public ::testing::Test {
protected:
    void SetUp() override
    {
        rtsp_ = fake_rtsp_new(31100);
        chn_ = fake_channel_add(rtsp_, "cam/main", true);
        memset(&pkt_, 0, sizeof(pkt_));
        pkt_.header = chn_->video_rtp_pkt.header;
    }
    void TearDown() override { fake_rtsp_free(rtsp_); }
    session_t *add(int fd, rtsp_status st, uint64_t last_access)
    {
        session_t *s = rtsp_channel_add_session(chn_, fd);
        s->status = st;
        s->tm_last_access = last_access;
        return s;
    }
    rtsp_t *rtsp_ = nullptr;
    rtsp_channel_t *chn_ = nullptr;
    rtp_packet pkt_;
};

TEST_F(Delivery, SweepRetiresTornDownFailedAndIdleSessions)
{
    // The sweep reads the clock again: start just after a second begins, so
    // that it reads the same second even on an emulated CPU.
    for (const uint64_t t = rtsp_now_sec(); rtsp_now_sec() == t;)
        usleep(1000);
    const uint64_t now = rtsp_now_sec();
    session_t *fresh = add(3, RTSP_STATUS_SETUP, now);
    session_t *at65 = add(4, RTSP_STATUS_OPTION, now - 65);
    add(5, RTSP_STATUS_PLAY, now - 67);       // idle while playing
    add(6, RTSP_STATUS_TEARDOWN, now);
    add(7, RTSP_STATUS_ERROR, now);
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    EXPECT_EQ(count(&chn_->list_head_session), 2u);
    EXPECT_EQ(count(&chn_->list_head_dead), 3u);
    EXPECT_EQ(rtsp_find_session(chn_, 3), fresh);
    EXPECT_EQ(rtsp_find_session(chn_, 4), at65) << "65 s idle is still alive";
    EXPECT_EQ(rtsp_find_session(chn_, 5), nullptr);
    rtsp_reap_sessions(rtsp_, chn_);
    EXPECT_EQ(count(&chn_->list_head_dead), 0u);
}

TEST_F(Delivery, PlayingSessionWithoutTransportOrPeerGetsNothingAndStays)
{
    const uint64_t now = rtsp_now_sec();
    session_t *s = add(9, RTSP_STATUS_PLAY, now);   // PLAY without SETUP
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    s->rtp_trans_type = TRANS_RTP_AVP;              // set up, but fd 9 is no socket
    s->video_rtp_udp_fd = 0;
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    EXPECT_EQ(rtsp_find_session(chn_, 9), s);
    EXPECT_EQ(s->status, RTSP_STATUS_PLAY);
}

TEST_F(Delivery, BadArguments)
{
    EXPECT_EQ(rtsp_send_rtp_packet(nullptr, &pkt_, 10), -1);
    EXPECT_EQ(rtsp_send_rtp_packet(chn_, nullptr, 10), -1);
    EXPECT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 0), -1);
    EXPECT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, RTP_PAYLOAD_BUF_SIZE + 1), -1);
}

TEST_F(Delivery, KeyFrameReleasesWaitingPlayers)
{
    session_t *playing = add(3, RTSP_STATUS_PLAY, rtsp_now_sec());
    playing->rtp_trans_type = TRANS_RTP_AVP;
    session_t *setup = add(4, RTSP_STATUS_SETUP, rtsp_now_sec());
    setup->rtp_trans_type = TRANS_RTP_AVP;
    const uint8_t p_frame[] = {0, 0, 0, 1, 0x41, 1, 2, 3};
    const uint8_t idr[] = {0, 0, 0, 1, 0x65, 1, 2, 3};
    rtsp_process_video_frame(chn_, p_frame, sizeof(p_frame), 40);
    EXPECT_EQ(playing->wait_key, 1);
    rtsp_process_video_frame(chn_, idr, sizeof(idr), 80);
    EXPECT_EQ(playing->wait_key, 0);
    EXPECT_EQ(setup->wait_key, 1) << "only players start at this key frame";
    EXPECT_EQ(chn_->video_rtp_pkt.header.seq, 2);
}

// ---- delivery over loopback --------------------------------------------

// A player on loopback: a TCP control connection (the server keeps the
// accepted end as the session's client_fd) and a UDP socket for its RTP.
struct Player {
    int ctl_client = -1;   // the player's end
    int ctl_server = -1;   // the server's end: the session's client_fd
    int rtp_rx = -1;       // the player's RTP socket
    int port = 0;
    ~Player()
    {
        for (int fd : {ctl_client, ctl_server, rtp_rx})
            if (fd >= 0)
                close(fd);
    }
};

sockaddr_in loopback(int port)
{
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    return a;
}

int bound_port(int fd)
{
    sockaddr_in a;
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

void open_player(Player *p)
{
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    a = loopback(bound_port(lfd));
    p->ctl_client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(p->ctl_client, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    p->ctl_server = accept(lfd, nullptr, nullptr);
    close(lfd);
    ASSERT_GT(p->ctl_server, 0);
    p->rtp_rx = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 4 << 20;
    setsockopt(p->rtp_rx, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    a = loopback(0);
    ASSERT_EQ(bind(p->rtp_rx, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    p->port = bound_port(p->rtp_rx);
}

// Every datagram waiting on fd, in arrival order.
std::vector<std::vector<uint8_t>> drain(int fd)
{
    std::vector<std::vector<uint8_t>> out;
    uint8_t buf[2048];
    pollfd pf = {fd, POLLIN, 0};
    // Loopback delivers within the send: a short wait suffices.
    while (poll(&pf, 1, 20) == 1) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        out.emplace_back(buf, buf + n);
    }
    return out;
}

void collect_wire(void *ctx, const rtp_packet *pkt, int size)
{
    auto *out = static_cast<std::vector<std::vector<uint8_t>> *>(ctx);
    std::vector<uint8_t> w(RTP_HEADER_SIZE + (size_t)size);
    rtp_header_serialize(&pkt->header, w.data());
    memcpy(w.data() + RTP_HEADER_SIZE, pkt->payload, (size_t)size);
    out->push_back(w);
}

// A key frame: parameter sets and an IDR slice of idr_len bytes, whose
// body holds no start code.
std::vector<uint8_t> key_frame(size_t idr_len)
{
    std::vector<uint8_t> f;
    auto unit = [&](uint8_t hdr, size_t n) {
        const uint8_t sc[] = {0, 0, 0, 1};
        f.insert(f.end(), sc, sc + 4);
        f.push_back(hdr);
        for (size_t i = 1; i < n; i++)
            f.push_back((uint8_t)((i * 13 % 251) + 2));
    };
    unit(0x67, 20);
    unit(0x68, 6);
    unit(0x65, idr_len);
    return f;
}

class LoopbackDelivery : public Delivery {
protected:
    // connected: the RTP socket is connected to the player, as SETUP does.
    session_t *player(Player *p, bool connected = false)
    {
        open_player(p);
        session_t *s = add(p->ctl_server, RTSP_STATUS_PLAY, rtsp_now_sec());
        int udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback(0);
        bind(udp, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        s->rtp_trans_type = TRANS_RTP_AVP;
        s->video_rtp_udp_fd = udp;   // closed by the reaper
        s->client_video_rtp_port = p->port;
        if (connected) {
            a = loopback(p->port);
            EXPECT_EQ(connect(udp, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
            s->video_rtp_dest = a.sin_addr.s_addr;
        }
        return s;
    }
    // The packets a frame becomes, cut from a copy of the channel's state
    // (seq_after_: the sequence number after them).
    std::vector<std::vector<uint8_t>> expected(const std::vector<uint8_t> &frame, uint64_t ts)
    {
        rtp_header hdr = chn_->video_rtp_pkt.header;
        uint64_t last = chn_->v_ts;
        uint8_t last_set = chn_->v_ts_set;
        rtp_video_state st = {&hdr, &last, &last_set};
        std::vector<std::vector<uint8_t>> want;
        rtp_packetize_h264(&st, frame.data(), frame.size(), ts, collect_wire, &want);
        seq_after_ = hdr.seq;
        return want;
    }
    uint16_t seq_after_ = 0;
    void TearDown() override
    {
        rtsp__set_udp_gso(1);
        Delivery::TearDown();
    }
};

// Frames of one to over a hundred packets reach two players as exactly the
// datagrams the packetiser makes, in order, whether runs of equal packets
// go through segmentation offload or one message each, and whether the RTP
// socket is connected to the player (b) or names it in every message (a):
// the batch limit of a pass and the offload's segment limit are both
// crossed.
TEST_F(LoopbackDelivery, FramesArriveAsThePacketiserCutThemWithAndWithoutOffload)
{
    Player a, b;
    session_t *sa = player(&a);
    session_t *sb = player(&b, true);
    ASSERT_FALSE(HasFatalFailure());
    const size_t sizes[] = {100, 1401, 1402, 2801, 3000, 60000, 150000};
    uint64_t ts = 40;
    for (int gso : {1, 0}) {
        rtsp__set_udp_gso(gso);
        for (size_t n : sizes) {
            SCOPED_TRACE("gso " + std::to_string(gso) + ", IDR of " + std::to_string(n));
            std::vector<uint8_t> frame = key_frame(n);
            std::vector<std::vector<uint8_t>> want = expected(frame, ts);
            rtsp_process_video_frame(chn_, frame.data(), (uint32_t)frame.size(), ts);
            ts += 40;
            EXPECT_EQ(chn_->video_rtp_pkt.header.seq, seq_after_);
            std::vector<std::vector<uint8_t>> got_a = drain(a.rtp_rx);
            std::vector<std::vector<uint8_t>> got_b = drain(b.rtp_rx);
            ASSERT_EQ(got_a.size(), want.size());
            for (size_t i = 0; i < want.size(); i++)
                ASSERT_EQ(got_a[i], want[i]) << "packet " << i;
            EXPECT_EQ(got_b, got_a);
        }
    }
    EXPECT_EQ(sa->status, RTSP_STATUS_PLAY);
    EXPECT_EQ(sb->status, RTSP_STATUS_PLAY);
}

// A player whose RTP port closes: over a connected socket the kernel
// reports the port unreachable on a later send, which sends nothing; the
// session plays on as over an unconnected one, and once the port is open
// again the next frame arrives whole.
TEST_F(LoopbackDelivery, ClosedPlayerPortKeepsSessionAndNextFrameArrivesWhole)
{
    uint64_t ts = 40;
    Player players[2];
    for (bool connected : {false, true}) {
        SCOPED_TRACE(connected ? "connected" : "unconnected");
        Player &a = players[connected ? 1 : 0];
        session_t *s = player(&a, connected);
        ASSERT_FALSE(HasFatalFailure());
        s->wait_key = 0;
        close(a.rtp_rx);
        a.rtp_rx = -1;
        const std::vector<uint8_t> frame = key_frame(6000);   // several messages
        for (int i = 0; i < 3; i++, ts += 40)
            rtsp_process_video_frame(chn_, frame.data(), (uint32_t)frame.size(), ts);
        ASSERT_EQ(rtsp_find_session(chn_, a.ctl_server), s);
        EXPECT_EQ(s->status, RTSP_STATUS_PLAY);

        a.rtp_rx = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in at = loopback(a.port);
        ASSERT_EQ(bind(a.rtp_rx, reinterpret_cast<sockaddr *>(&at), sizeof(at)), 0);
        std::vector<std::vector<uint8_t>> want = expected(frame, ts);
        rtsp_process_video_frame(chn_, frame.data(), (uint32_t)frame.size(), ts);
        ts += 40;
        EXPECT_EQ(drain(a.rtp_rx), want);
        EXPECT_EQ(s->status, RTSP_STATUS_PLAY);
        ll_lock lk(&chn_->mutex_session);
        s->status = RTSP_STATUS_TEARDOWN;   // retired by the next row's sweep
    }
}

// The peer address is looked up once per control connection; once the
// server has closed a hung-up connection (client_fd -1) the session gets
// nothing, stays until the idle sweep, and the failed lookup is logged once
// rather than with every packet.
TEST_F(LoopbackDelivery, PeerCachedAndHungUpConnectionLoggedOnce)
{
    Player a;
    session_t *s = player(&a);
    ASSERT_FALSE(HasFatalFailure());
    s->wait_key = 0;
    pkt_.payload[0] = 0x41;
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    EXPECT_EQ(s->peer_fd, a.ctl_server);
    EXPECT_EQ(s->peer_ip, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(drain(a.rtp_rx).size(), 1u);

    Log_Level old = ll_get_log_level();
    ll_set_log_level(LOG_LEVEL_DEBUG);
    tvrtest::LogCapture log;
    {
        ll_lock lk(&chn_->mutex_session);
        s->client_fd = -1;   // as the server thread does when it closes it
    }
    for (int i = 0; i < 50; i++)
        ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    log.take();
    ll_set_log_level(old);
    EXPECT_TRUE(drain(a.rtp_rx).empty());
    EXPECT_EQ(rtsp_find_session(chn_, -1), s);
    EXPECT_EQ(s->status, RTSP_STATUS_PLAY);

    int lines = 0;
    for (const std::string &l : log.lines())
        lines += l.find("getpeername error") != std::string::npos;
    EXPECT_EQ(lines, 1);
}

// A send that fails moves the session to error and retires it in the same
// pass.
TEST_F(LoopbackDelivery, FailedSendRetiresSession)
{
    Player a;
    session_t *s = player(&a);
    ASSERT_FALSE(HasFatalFailure());
    s->wait_key = 0;
    s->client_video_rtp_port = 0;   // no datagram goes to port 0
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    EXPECT_EQ(rtsp_find_session(chn_, a.ctl_server), nullptr);
    EXPECT_EQ(count(&chn_->list_head_dead), 1u);
}

// A repeated SETUP on the server thread while the video thread is between
// copying a session's socket and sending on it: the old socket stays open
// until the pass is over, so the send neither fails nor goes out on
// another socket that took the closed number.
struct RaceCtx {
    rtsp_t *rtsp;
    int cfd;
    int old_fd;
    int rtp_port;
    std::thread setup;
    std::atomic<bool> setup_done{false};
    std::atomic<int> setup_tid{0};
    int trap[2] = {-1, -1};
};
RaceCtx *g_race;

void race_hook(rtsp_channel_t *chn)
{
    RaceCtx *r = g_race;
    rtsp__set_pass_hook(nullptr);
    r->setup = std::thread([r] {
        r->setup_tid = this_thread_id();
        std::string req = "SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\nCSeq: 9\r\n"
                          "Transport: RTP/AVP;unicast;client_port=" + std::to_string(r->rtp_port) +
                          "-" + std::to_string(r->rtp_port + 1) + "\r\n\r\n";
        rtsp_handle_packet(r->rtsp, r->cfd, req.c_str(), (int)req.size());
        r->setup_done = true;
    });
    // The SETUP has swapped the session's sockets...
    session_t *s = rtsp_find_session(chn, r->cfd);
    EXPECT_TRUE(tvrtest::wait_until(
        [&] {
            ll_lock lk(&chn->mutex_session);
            return s->video_rtp_udp_fd != r->old_fd;
        },
        5000));
    // ...and, once it has closed what it will close before the pass ends
    // (finished, or waiting for the pass), whatever it closed is taken by
    // an unrelated socket.
    EXPECT_TRUE(tvrtest::wait_until(
        [&] { return r->setup_done || (r->setup_tid && thread_blocked(r->setup_tid)); }, 5000));
    socketpair(AF_UNIX, SOCK_STREAM, 0, r->trap);
}

TEST_F(LoopbackDelivery, RepeatedSetupDuringPassClosesOldSocketAfterIt)
{
    Player a;
    session_t *s = player(&a);
    ASSERT_FALSE(HasFatalFailure());
    s->wait_key = 0;
    RaceCtx r;
    r.rtsp = rtsp_;
    r.cfd = a.ctl_server;
    r.old_fd = s->video_rtp_udp_fd;
    r.rtp_port = a.port;
    g_race = &r;
    rtsp_set_reply_fn([](int, const void *, size_t len) { return (ssize_t)len; });
    rtsp__set_pass_hook(race_hook);
    pkt_.payload[0] = 0x41;
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    r.setup.join();
    rtsp_set_reply_fn(nullptr);
    EXPECT_TRUE(r.setup_done);
    EXPECT_NE(r.trap[0], r.old_fd) << "the old socket's number was free during the send";
    EXPECT_NE(r.trap[1], r.old_fd) << "the old socket's number was free during the send";
    EXPECT_EQ(rtsp_find_session(chn_, a.ctl_server), s) << "the send failed and retired the session";
    EXPECT_EQ(s->status, RTSP_STATUS_SETUP);
    EXPECT_EQ(drain(a.rtp_rx).size(), 1u);
    EXPECT_EQ(fcntl(r.old_fd, F_GETFD), -1) << "old socket not closed after the pass";
    close(r.trap[0]);
    close(r.trap[1]);
    // Playing again, the next pass goes out on the new socket.
    s->status = RTSP_STATUS_PLAY;
    ASSERT_EQ(rtsp_send_rtp_packet(chn_, &pkt_, 10), 0);
    EXPECT_EQ(drain(a.rtp_rx).size(), 1u);
}

// The offload probe: this kernel cuts segments; a kernel that ignores the
// segment size (seen here as a send that drops the control message) sends
// one large datagram, and the probe says no.
ssize_t send_ignoring_segments(int fd, const struct msghdr *m, int flags)
{
    struct msghdr plain = *m;
    plain.msg_control = nullptr;
    plain.msg_controllen = 0;
    return sendmsg(fd, &plain, flags);
}

ssize_t send_refused(int, const struct msghdr *, int)
{
    errno = EIO;
    return -1;
}

TEST(UdpOffloadProbe, SaysYesOnlyWhenSegmentsArriveCut)
{
    EXPECT_EQ(rtsp_udp_gso_probe(send_ignoring_segments), 0);
    EXPECT_EQ(rtsp_udp_gso_probe(send_refused), 0);
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    int major = 0, minor = 0;
    sscanf(u.release, "%d.%d", &major, &minor);
    int want = (major > 4 || (major == 4 && minor >= 18)) ? 1 : 0;
    EXPECT_EQ(rtsp_udp_gso_probe(nullptr), want) << u.release;
}

// First picture: a player that starts within half a second of a key frame
// gets that key frame and every frame since, in one unbroken sequence, at
// the next frame; one that starts later waits for the next key frame.
TEST_F(LoopbackDelivery, LateStarterGetsTheRecentKeyFrameAndWhatFollowed)
{
    const std::vector<uint8_t> p_frame = {0, 0, 0, 1, 0x41, 7, 7, 7, 7};
    std::vector<std::vector<uint8_t>> sent;   // every packet the channel made
    auto frame = [&](const std::vector<uint8_t> &f, uint64_t ts) {
        rtp_header hdr = chn_->video_rtp_pkt.header;
        uint64_t last = chn_->v_ts;
        uint8_t last_set = chn_->v_ts_set;
        rtp_video_state st = {&hdr, &last, &last_set};
        rtp_packetize_h264(&st, f.data(), f.size(), ts, collect_wire, &sent);
        rtsp_process_video_frame(chn_, f.data(), (uint32_t)f.size(), ts);
    };
    Player early, late, too_late;
    session_t *se = player(&early);
    ASSERT_FALSE(HasFatalFailure());
    frame(key_frame(3000), 1000);        // 5 packets: SPS, PPS, 3 FU-A
    frame(p_frame, 1040);
    frame(p_frame, 1080);
    EXPECT_EQ(drain(early.rtp_rx), sent) << "a player waiting at the key frame gets it live";
    EXPECT_EQ(se->wait_key, 0);

    session_t *sl = player(&late);       // PLAY 100 ms after the key frame
    ASSERT_FALSE(HasFatalFailure());
    frame(p_frame, 1120);
    EXPECT_EQ(drain(late.rtp_rx), sent) << "late starter: key frame and all since, in order";
    EXPECT_EQ(sl->wait_key, 0);
    EXPECT_EQ(drain(early.rtp_rx).size(), 1u) << "the others get the live frame only";

    for (uint64_t ts = 1160; ts <= 1560; ts += 40)
        frame(p_frame, ts);
    session_t *st = player(&too_late);   // PLAY 600 ms after the key frame
    ASSERT_FALSE(HasFatalFailure());
    frame(p_frame, 1600);
    EXPECT_TRUE(drain(too_late.rtp_rx).empty()) << "a key frame older than 500 ms was sent";
    EXPECT_EQ(st->wait_key, 1);
    size_t before = sent.size();
    frame(key_frame(100), 2000);
    std::vector<std::vector<uint8_t>> want(sent.begin() + (long)before, sent.end());
    EXPECT_EQ(drain(too_late.rtp_rx), want) << "it starts at the next key frame";
}

// Between frames (a source that stalls after its first key frame), a
// player that starts gets the key frame by the clock: within 500 ms of it,
// not later.
uint64_t g_clock_ms = 50000;
uint64_t test_clock() { return g_clock_ms; }

TEST_F(LoopbackDelivery, StarterBetweenFramesGetsRecentKeyFrameByTheClock)
{
    rtsp__set_clock(test_clock);
    std::vector<std::vector<uint8_t>> sent;
    std::vector<uint8_t> key = key_frame(2000);
    rtp_header hdr = chn_->video_rtp_pkt.header;
    uint64_t last = chn_->v_ts;
    uint8_t last_set = chn_->v_ts_set;
    rtp_video_state st = {&hdr, &last, &last_set};
    rtp_packetize_h264(&st, key.data(), key.size(), 40, collect_wire, &sent);
    rtsp_process_video_frame(chn_, key.data(), (uint32_t)key.size(), 40);

    Player a, b;
    session_t *sa = player(&a);
    ASSERT_FALSE(HasFatalFailure());
    g_clock_ms += 480;
    rtsp_serve_recent_key(chn_);
    EXPECT_EQ(drain(a.rtp_rx), sent);
    EXPECT_EQ(sa->wait_key, 0);

    session_t *sb = player(&b);
    ASSERT_FALSE(HasFatalFailure());
    g_clock_ms += 40;   // 520 ms after the key frame
    rtsp_serve_recent_key(chn_);
    EXPECT_TRUE(drain(b.rtp_rx).empty());
    EXPECT_EQ(sb->wait_key, 1);
    rtsp__set_clock(nullptr);
}

}  // namespace
