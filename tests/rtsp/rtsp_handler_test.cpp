// Request handling with a captured reply function and channels built by
// hand (no source, no thread, no TCP socket).  SETUP binds real UDP ports
// from a base far from the server's 10000.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "rtsp_auth.h"
#include "ll_lock.h"
#include "rtsp_request.h"
#include "rtsp_test_util.h"
#include "support/wait.h"

namespace {

struct Reply {
    int fd;
    std::string text;
};
std::vector<Reply> g_replies;
bool g_fail_writes = false;

ssize_t capture(int fd, const void *buf, size_t len)
{
    if (g_fail_writes)
        return -1;
    g_replies.push_back({fd, std::string(static_cast<const char *>(buf), len)});
    return (ssize_t)len;
}

bool udp_fd_open(int fd)
{
    return fd > 0 && fcntl(fd, F_GETFD) != -1;
}

class Handler : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_replies.clear();
        g_fail_writes = false;
        rtsp_set_reply_fn(capture);
        rtsp_ = fake_rtsp_new(kBase);
        chn_ = fake_channel_add(rtsp_, "cam/main", true);
    }
    void TearDown() override
    {
        fake_rtsp_free(rtsp_);
        rtsp_set_reply_fn(nullptr);
    }

    int handle(int fd, const std::string &req)
    {
        return rtsp_handle_packet(rtsp_, fd, req.c_str(), (int)req.size());
    }
    std::string last() const { return g_replies.empty() ? "" : g_replies.back().text; }
    session_t *open_session(int fd)
    {
        EXPECT_EQ(handle(fd, "OPTIONS rtsp://h/cam/main RTSP/1.0\r\nCSeq: 1\r\n\r\n"), 0);
        return rtsp_find_session(chn_, fd);
    }

    static constexpr int kBase = 31000;
    rtsp_t *rtsp_ = nullptr;
    rtsp_channel_t *chn_ = nullptr;
};

TEST_F(Handler, OptionsCreatesSessionAndAnswersWithPublic)
{
    uint64_t before = rtsp_now_sec();
    EXPECT_EQ(handle(7, "OPTIONS rtsp://10.0.0.2/cam/main RTSP/1.0\r\nCSeq: 1\r\n\r\n"), 0);
    ASSERT_EQ(g_replies.size(), 1u);
    EXPECT_EQ(g_replies[0].fd, 7);
    EXPECT_EQ(g_replies[0].text,
              "RTSP/1.0 200 OK\r\nCseq: 1\r\nPublic: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY\r\n\r\n");
    session_t *s = rtsp_find_session(chn_, 7);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->status, RTSP_STATUS_OPTION);
    EXPECT_GE(s->tm_last_access, before);
    EXPECT_GE(s->session_id, 0);
    EXPECT_LT(s->session_id, 7);
}

TEST_F(Handler, NewSessionHasAccessTimeBeforeAnyRequestCompletes)
{
    uint64_t before = rtsp_now_sec();
    session_t *s = rtsp_channel_add_session(chn_, 9);
    ASSERT_NE(s, nullptr);
    EXPECT_GE(s->tm_last_access, before);
}

TEST_F(Handler, OptionsKeepsLaterStatusAsKeepAlive)
{
    session_t *s = open_session(7);
    ASSERT_EQ(handle(7, "PLAY rtsp://h/cam/main RTSP/1.0\r\nCSeq: 2\r\n\r\n"), 0);
    ASSERT_EQ(handle(7, "OPTIONS rtsp://h/cam/main RTSP/1.0\r\nCSeq: 3\r\n\r\n"), 0);
    EXPECT_EQ(s->status, RTSP_STATUS_PLAY);
    EXPECT_EQ(rtsp_find_session(chn_, 7), s) << "a second OPTIONS must not add a session";
}

TEST_F(Handler, OptionsWithoutChannelAnswers503)
{
    // "*" has no path; "nosrc/x" names a source that is not registered.
    for (const char *url : {"*", "rtsp://h/nosrc/x"}) {
        g_replies.clear();
        std::string req = std::string("OPTIONS ") + url + " RTSP/1.0\r\nCSeq: 5\r\n\r\n";
        EXPECT_EQ(handle(7, req), -1) << url;
        EXPECT_EQ(last(), "RTSP/1.0 503 Service Unavailable\r\nCSeq: 5\r\n\r\n") << url;
    }
}

TEST_F(Handler, DescribeReturnsSessionDescriptionWithItsLength)
{
    session_t *s = open_session(7);
    ASSERT_EQ(handle(7, "DESCRIBE rtsp://h/cam/main RTSP/1.0\r\nCSeq: 2\r\n\r\n"), 0);
    EXPECT_EQ(last(),
              "RTSP/1.0 200 OK\r\nCseq: 2\r\nContent-Type: application/sdp\r\nContent-Length: 116\r\n\r\n"
              "v=0\r\no=DOVU 7 1 IN IP4 0.0.0.0\r\nt=0 0\r\na=control:*\r\n"
              "m=video 0 RTP/AVP 96\r\na=control:track0\r\na=rtpmap:96 H264/90000\r\n");
    EXPECT_EQ(s->status, RTSP_STATUS_DESCRIBE);
}

TEST_F(Handler, DescribeWithoutVideoHasNoMediaLine)
{
    fake_channel_add(rtsp_, "cam/audio", false);
    ASSERT_EQ(handle(12, "DESCRIBE rtsp://h/cam/audio RTSP/1.0\r\nCSeq: 2\r\n\r\n"), 0);
    EXPECT_NE(last().find("Content-Length: 53\r\n"), std::string::npos) << last();
    EXPECT_EQ(last().find("m=video"), std::string::npos);
}

TEST_F(Handler, NotFoundCases)
{
    open_session(7);   // another connection's session does not count for fd 8
    const char *reqs[] = {
        "DESCRIBE rtsp://h/cam/other RTSP/1.0\r\nCSeq: 4\r\n\r\n",
        "SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\nCSeq: 4\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n",
        "PLAY rtsp://h/cam/main RTSP/1.0\r\nCSeq: 4\r\n\r\n",
        "TEARDOWN rtsp://h/cam/main RTSP/1.0\r\nCSeq: 4\r\n\r\n",
    };
    for (const char *r : reqs) {
        g_replies.clear();
        EXPECT_EQ(handle(8, r), -1) << r;
        ASSERT_EQ(g_replies.size(), 1u) << r;
        EXPECT_EQ(g_replies[0].text, "RTSP/1.0 404 Not Found\r\nCSeq: 4\r\n\r\n") << r;
    }
    EXPECT_EQ(rtsp_find_session(chn_, 8), nullptr);
}

TEST_F(Handler, SetupBindsFirstFreePairAndAnswersTransport)
{
    // Both transport spellings, Transport before CSeq, two sessions.
    session_t *a = open_session(7);
    session_t *b = open_session(8);
    ASSERT_EQ(handle(7, "SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\n"
                        "Transport: RTP/AVP/UDP;unicast;client_port=5000-5001\r\nCSeq: 3\r\n\r\n"),
              0);
    char want[256];
    snprintf(want, sizeof(want),
             "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: %d\r\n"
             "Transport: RTP/AVP;unicast;client_port=5000-5001;server_port=%d-%d\r\n\r\n",
             a->session_id, kBase, kBase + 1);
    EXPECT_EQ(last(), want);
    EXPECT_EQ(a->status, RTSP_STATUS_SETUP);
    EXPECT_EQ(a->rtp_trans_type, TRANS_RTP_AVP);
    EXPECT_EQ(a->video_rtp_port, kBase);
    EXPECT_EQ(a->client_video_rtp_port, 5000);
    EXPECT_TRUE(udp_fd_open(a->video_rtp_udp_fd));
    EXPECT_TRUE(udp_fd_open(a->video_rtcp_udp_fd));

    ASSERT_EQ(handle(8, "SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\nCSeq: 3\r\n"
                        "Transport: RTP/AVP;unicast;client_port=6000-6001\r\n\r\n"),
              0);
    EXPECT_EQ(b->video_rtp_port, kBase + 2) << last();
    EXPECT_EQ(b->client_video_rtp_port, 6000);
}

TEST_F(Handler, SetupTrack1StoresAudioPorts)
{
    session_t *s = open_session(7);
    ASSERT_EQ(handle(7, "SETUP rtsp://h/cam/main/track1 RTSP/1.0\r\nCSeq: 3\r\n"
                        "Transport: RTP/AVP;unicast;client_port=5002-5003\r\n\r\n"),
              0);
    EXPECT_EQ(s->audio_rtp_port, kBase);
    EXPECT_EQ(s->client_audio_rtp_port, 5002);
    EXPECT_TRUE(udp_fd_open(s->audio_rtp_udp_fd));
    EXPECT_EQ(s->video_rtp_udp_fd, 0);
}

TEST_F(Handler, SetupAgainClosesReplacedSockets)
{
    session_t *s = open_session(7);
    const std::string setup = "SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\nCSeq: 3\r\n"
                              "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n";
    ASSERT_EQ(handle(7, setup), 0);
    int old_rtp = s->video_rtp_udp_fd, old_rtcp = s->video_rtcp_udp_fd;
    ASSERT_EQ(handle(7, setup), 0);
    EXPECT_FALSE(udp_fd_open(old_rtp));
    EXPECT_FALSE(udp_fd_open(old_rtcp));
    EXPECT_TRUE(udp_fd_open(s->video_rtp_udp_fd));
    EXPECT_EQ(s->video_rtp_port, kBase + 2) << "old pair is released only after the new binds";
}

// The video thread sends on descriptors it copied earlier: while a pass
// is in flight, a repeated SETUP must not close (and free the numbers of)
// the sockets it replaces.
TEST_F(Handler, SetupAgainClosesReplacedSocketsOnlyBetweenSends)
{
    session_t *s = open_session(7);
    const std::string setup = "SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\nCSeq: 3\r\n"
                              "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n";
    ASSERT_EQ(handle(7, setup), 0);
    int old_rtp = s->video_rtp_udp_fd;
    std::atomic<int> done{0};
    {
        ll_lock lk(&chn_->mutex_session);
        chn_->sends_in_flight = 1;   // a pass between its copy and its sends' end
    }
    std::atomic<int> tid{0};
    std::thread server([&] {
        tid = this_thread_id();
        handle(7, setup);
        done = 1;
    });
    // The SETUP either finishes (wrong) or waits for the pass to end.
    EXPECT_TRUE(tvrtest::wait_until([&] { return done || (tid && thread_blocked(tid)); }, 5000));
    EXPECT_EQ(done.load(), 0) << "SETUP finished during a send";
    EXPECT_TRUE(udp_fd_open(old_rtp)) << "socket closed under a send";
    {
        ll_lock lk(&chn_->mutex_session);
        chn_->sends_in_flight = 0;
        pthread_cond_broadcast(&chn_->cond_sends);
    }
    server.join();
    EXPECT_FALSE(udp_fd_open(old_rtp));
    EXPECT_NE(s->video_rtp_udp_fd, old_rtp);
}

TEST_F(Handler, SetupOfUnknownTrackLeavesNoSocketOpen)
{
    open_session(7);
    int probe = dup(0);
    close(probe);   // the lowest free descriptor number before the SETUP
    ASSERT_EQ(handle(7, "SETUP rtsp://h/cam/main/track5 RTSP/1.0\r\nCSeq: 3\r\n"
                        "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n"),
              0);
    EXPECT_FALSE(udp_fd_open(probe)) << "a socket of the unknown track stayed open";
    // The port it was given, as the reply names it, is free again.
    const std::string reply = last();
    const size_t at = reply.find("server_port=");
    ASSERT_NE(at, std::string::npos) << reply;
    const int port = std::atoi(reply.c_str() + at + 12);
    ASSERT_GE(port, kBase) << reply;
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(bind(u, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    close(u);
}

TEST_F(Handler, SetupSkipsHalfBoundPairAndReleasesIt)
{
    // Someone holds base+1, so base cannot be a pair; base itself must be
    // free again afterwards.
    int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kBase + 1);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    session_t *s = open_session(7);
    ASSERT_EQ(handle(7, "SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\nCSeq: 3\r\n"
                        "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n"),
              0);
    EXPECT_EQ(s->video_rtp_port, kBase + 2);
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sa.sin_port = htons(kBase);
    EXPECT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0)
        << "the half-bound RTP port was kept";
    close(probe);
    close(blocker);
}

TEST_F(Handler, SetupWithoutUdpClientPortAnswers461AndFails)
{
    const char *transports[] = {
        "RTP/AVP/TCP;unicast;interleaved=300-301",
        "RTP/AVP/TCP;unicast;interleaved=4-2",
        "RTP/AVP;unicast",
        "RTP/AVP;unicast;client_port=0-1",
    };
    int fd = 20;
    for (const char *t : transports) {
        session_t *s = open_session(fd);
        g_replies.clear();
        std::string req = std::string("SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\nCSeq: 3\r\nTransport: ") +
                          t + "\r\n\r\n";
        EXPECT_EQ(handle(fd, req), -1) << t;
        EXPECT_EQ(last(), "RTSP/1.0 461 Unsupported Transport\r\nCSeq: 3\r\n\r\n") << t;
        EXPECT_EQ(s->status, RTSP_STATUS_ERROR) << t;
        EXPECT_EQ(s->video_rtp_udp_fd, 0) << t;
        fd++;
    }
}

TEST_F(Handler, SetupOverTcpTakesInterleavedChannelsAndLetsUdpGo)
{
    struct Case {
        const char *track;
        const char *transport;
        const char *reply_transport;
        uint8_t mask;
        int chan;
    } cases[] = {
        {"track0", "RTP/AVP/TCP;unicast;interleaved=0-1", "interleaved=0-1", RTSP_ILV_VIDEO, 0},
        {"track1", "RTP/AVP/TCP;unicast;interleaved=6-7", "interleaved=6-7", RTSP_ILV_AUDIO, 6},
        {"track1", "RTP/AVP/TCP;interleaved=4;unicast", "interleaved=4-5", RTSP_ILV_AUDIO, 4},
        {"track0", "RTP/AVP/TCP;unicast", "interleaved=0-1", RTSP_ILV_VIDEO, 0},
        {"track1", "RTP/AVP/TCP;unicast", "interleaved=2-3", RTSP_ILV_AUDIO, 2},
    };
    int fd = 40;
    for (const Case &c : cases) {
        session_t *s = open_session(fd);
        // A UDP SETUP first: its sockets are closed when the session turns to TCP.
        ASSERT_EQ(handle(fd, "SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\nCSeq: 2\r\n"
                             "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n"), 0);
        int udp = s->video_rtp_udp_fd;
        ASSERT_TRUE(udp_fd_open(udp));
        std::string req = std::string("SETUP rtsp://h/cam/main/") + c.track +
                          " RTSP/1.0\r\nCSeq: 3\r\nTransport: " + c.transport + "\r\n\r\n";
        EXPECT_EQ(handle(fd, req), 0) << c.transport;
        EXPECT_NE(last().find(std::string("Transport: RTP/AVP/TCP;unicast;") + c.reply_transport +
                              "\r\n"),
                  std::string::npos)
            << last();
        EXPECT_EQ(s->status, RTSP_STATUS_SETUP);
        EXPECT_EQ(s->rtp_trans_type, TRANS_RTP_AVP_TCP);
        EXPECT_EQ(s->ilv_mask, c.mask);
        EXPECT_EQ(c.mask == RTSP_ILV_VIDEO ? s->ilv_video : s->ilv_audio, c.chan);
        EXPECT_EQ(s->video_rtp_udp_fd, 0);
        EXPECT_FALSE(udp_fd_open(udp)) << "the UDP socket was kept";
        fd++;
    }
}

TEST_F(Handler, ReceiverReportOnTheRtcpChannelKeepsTheSessionAlive)
{
    const uint8_t rr[] = {0x80, 201, 0, 1, 1, 2, 3, 4};
    const uint8_t not_rtcp[] = {0x80, 96, 0, 1, 1, 2, 3, 4};
    struct Case {
        const char *name;
        int fd;
        uint8_t chan;
        const uint8_t *pkt;
        bool alive;
    } cases[] = {
        {"RR on the video RTCP channel", 50, 3, rr, true},
        {"RR on the audio RTCP channel", 50, 9, rr, true},
        {"RR on the RTP channel", 50, 2, rr, false},
        {"RR on a channel not set up", 50, 5, rr, false},
        {"RTP on the RTCP channel", 50, 3, not_rtcp, false},
        {"RR from another connection", 51, 3, rr, false},
    };
    session_t *s = open_session(50);
    ASSERT_EQ(handle(50, "SETUP rtsp://h/cam/main/track0 RTSP/1.0\r\nCSeq: 2\r\n"
                         "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n\r\n"), 0);
    ASSERT_EQ(handle(50, "SETUP rtsp://h/cam/main/track1 RTSP/1.0\r\nCSeq: 3\r\n"
                         "Transport: RTP/AVP/TCP;unicast;interleaved=8-9\r\n\r\n"), 0);
    for (const Case &c : cases) {
        s->tm_last_access = 1;
        rtsp_handle_interleaved(rtsp_, c.fd, c.chan, c.pkt, 8);
        EXPECT_EQ(s->tm_last_access != 1, c.alive) << c.name;
    }
}

TEST_F(Handler, PlayAndTeardownMoveStatus)
{
    session_t *s = open_session(7);
    ASSERT_EQ(handle(7, "PLAY rtsp://h/cam/main RTSP/1.0\r\nCSeq: 4\r\n\r\n"), 0);
    char want[128];
    snprintf(want, sizeof(want),
             "RTSP/1.0 200 OK\r\nCSeq: 4\r\nRange: npt=0.000-\r\nSession: %d; timeout=60\r\n\r\n",
             s->session_id);
    EXPECT_EQ(last(), want);
    EXPECT_EQ(s->status, RTSP_STATUS_PLAY);
    EXPECT_EQ(s->rtp_trans_type, TRANS_RTP_RESERVED) << "PLAY without SETUP sets no transport";

    ASSERT_EQ(handle(7, "TEARDOWN rtsp://h/cam/main RTSP/1.0\r\nCSeq: 5\r\n\r\n"), 0);
    EXPECT_EQ(last(), "RTSP/1.0 200 OK\r\nCSeq: 5\r\n\r\n");
    EXPECT_EQ(s->status, RTSP_STATUS_TEARDOWN);
}

TEST_F(Handler, UnknownMethodIsSilentButRefreshesSession)
{
    session_t *s = open_session(7);
    s->tm_last_access = 1;
    g_replies.clear();
    EXPECT_EQ(handle(7, "GET_PARAMETER rtsp://h/cam/main RTSP/1.0\r\nCSeq: 6\r\n\r\n"), 0);
    EXPECT_TRUE(g_replies.empty());
    EXPECT_GE(s->tm_last_access, rtsp_now_sec() - 1);
}

TEST_F(Handler, NotFoundDoesNotRefreshSession)
{
    session_t *s = open_session(7);
    s->tm_last_access = 1;
    // Same connection, other path: no channel, so 404 and no refresh.
    EXPECT_EQ(handle(7, "PLAY rtsp://h/cam/other RTSP/1.0\r\nCSeq: 6\r\n\r\n"), -1);
    EXPECT_EQ(s->tm_last_access, 1u);
}

TEST_F(Handler, FailedWriteMovesSessionToError)
{
    session_t *s = open_session(7);
    g_fail_writes = true;
    EXPECT_EQ(handle(7, "PLAY rtsp://h/cam/main RTSP/1.0\r\nCSeq: 4\r\n\r\n"), -1);
    EXPECT_EQ(s->status, RTSP_STATUS_ERROR);
}

TEST_F(Handler, MethodPrefixRules)
{
    session_t *s = open_session(7);
    g_replies.clear();
    EXPECT_EQ(handle(7, "DESCRIBEX rtsp://h/cam/main RTSP/1.0\r\nCSeq: 2\r\n\r\n"), 0);
    EXPECT_TRUE(g_replies.empty()) << "DESCRIBEX is not DESCRIBE";
    EXPECT_EQ(handle(8, "OPTIONSX rtsp://h/cam/main RTSP/1.0\r\nCSeq: 2\r\n\r\n"), 0);
    EXPECT_EQ(last().rfind("RTSP/1.0 200 OK\r\nCseq: 2\r\nPublic:", 0), 0u) << last();
    EXPECT_EQ(s->status, RTSP_STATUS_OPTION);
}

TEST_F(Handler, LongUrlOrCseqAndBadArguments)
{
    open_session(7);
    g_replies.clear();
    // A URL of 50 characters or more: 414, with the CSeq; 49 still fits.
    struct Row {
        std::string url;
        const char *want;
    } rows[] = {
        {"rtsp://h/cam/main/abcdefghijklmnopqrstuvwxyz012345", "RTSP/1.0 414 Request-URI Too Long\r\nCSeq: 2\r\n\r\n"},
        {"rtsp://h/cam/main/" + std::string(3000, 'a'), "RTSP/1.0 414 Request-URI Too Long\r\nCSeq: 2\r\n\r\n"},
        {"rtsp://" + std::string(33, 'h') + "/cam/main", "RTSP/1.0 200 OK\r\nCseq: 2\r\n"},
    };
    for (const Row &r : rows) {
        g_replies.clear();
        handle(7, "OPTIONS " + r.url + " RTSP/1.0\r\nCSeq: 2\r\n\r\n");
        ASSERT_EQ(g_replies.size(), 1u) << r.url.size();
        EXPECT_EQ(last().rfind(r.want, 0), 0u) << last();
    }
    // Not a request line at all: still no reply.
    g_replies.clear();
    EXPECT_EQ(handle(7, "\x16\x03\x01 " + std::string(80, 'g') + "\r\n\r\n"), 0);
    EXPECT_TRUE(g_replies.empty());
    // A CSeq of 10 characters is echoed empty.
    EXPECT_EQ(handle(7, "PLAY rtsp://h/cam/main RTSP/1.0\r\nCSeq: 1234567890\r\n\r\n"), 0);
    EXPECT_EQ(last().rfind("RTSP/1.0 200 OK\r\nCSeq: \r\n", 0), 0u) << last();

    EXPECT_EQ(rtsp_handle_packet(nullptr, 7, "OPTIONS * RTSP/1.0\r\n\r\n", 20), -1);
    EXPECT_EQ(rtsp_handle_packet(rtsp_, 0, "OPTIONS * RTSP/1.0\r\n\r\n", 20), -1);
    EXPECT_EQ(rtsp_handle_packet(rtsp_, 7, "", 0), -1);
    EXPECT_EQ(rtsp_handle_packet(rtsp_, 7, nullptr, 5), -1);
}

TEST_F(Handler, FindChannelAndSessionEdges)
{
    EXPECT_EQ(rtsp_find_channel(rtsp_, "cam/main"), chn_);
    EXPECT_EQ(rtsp_find_channel(rtsp_, "cam/main/"), nullptr);
    EXPECT_EQ(rtsp_find_channel(rtsp_, ""), nullptr);
    EXPECT_EQ(rtsp_find_channel(nullptr, "cam/main"), nullptr);
    EXPECT_EQ(rtsp_channel_add_session(nullptr, 3), nullptr);
    EXPECT_EQ(rtsp_channel_add_session(chn_, -1), nullptr);
    EXPECT_EQ(rtsp_find_session(nullptr, 3), nullptr);
}

TEST_F(Handler, ChannelNameWithOverlongPartGetsNoChannel)
{
    // 30-character source part, 50-character channel part.
    EXPECT_EQ(rtsp_add_channel(rtsp_, "abcdefghijklmnopqrstuvwxyz0123/main"), nullptr);
    EXPECT_EQ(rtsp_add_channel(rtsp_, ("s/" + std::string(50, 'c')).c_str()), nullptr);
    EXPECT_EQ(rtsp_add_channel(rtsp_, ""), nullptr);
}

// With a credentials file every request but OPTIONS needs credentials; an
// OPTIONS without them is answered but starts no session (no encoder).
TEST_F(Handler, CredentialsGateEveryRequestButOptions)
{
    static const uint8_t key[16] = {3};
    // viewer:cam:secret
    rtsp_->auth = rtsp_auth_from_text("viewer:cam:1a0cf0dbf0ebaf47fba582bea528033d\n", key);
    ASSERT_NE(rtsp_->auth, nullptr);
    const std::string url = "rtsp://h/cam/main";
    EXPECT_EQ(handle(7, "OPTIONS " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n"), 0);
    EXPECT_EQ(last().rfind("RTSP/1.0 200 OK\r\nCseq: 1\r\nPublic:", 0), 0u) << last();
    EXPECT_EQ(rtsp_find_session(chn_, 7), nullptr) << "OPTIONS without credentials made a session";

    EXPECT_EQ(handle(7, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 2\r\n\r\n"), -1);
    std::string r = last();
    ASSERT_EQ(r.rfind("RTSP/1.0 401 Unauthorized\r\nCSeq: 2\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"", 0), 0u) << r;
    size_t p = r.find("nonce=\"") + 7;
    std::string nonce = r.substr(p, r.find('"', p) - p);
    EXPECT_EQ(rtsp_find_session(chn_, 7), nullptr);

    // The client's answer (RFC 2617 style, qop=auth).
    auto answer = [&](const char *method, const char *nc, const char *pass) {
        auto md5 = [](const std::string &t) {
            char h[33];
            rtsp_md5_hex(t.data(), t.size(), h);
            return std::string(h);
        };
        std::string ha1 = md5(std::string("viewer:cam:") + pass);
        std::string resp = md5(ha1 + ":" + nonce + ":" + nc + ":abc:auth:" + md5(std::string(method) + ":" + url));
        return std::string("Authorization: Digest username=\"viewer\", realm=\"cam\", nonce=\"") + nonce +
               "\", uri=\"" + url + "\", qop=auth, nc=" + nc + ", cnonce=\"abc\", response=\"" + resp + "\"\r\n";
    };
    EXPECT_EQ(handle(7, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 3\r\n" + answer("DESCRIBE", "00000001", "guess") +
                            "\r\n"), -1);
    EXPECT_EQ(last().rfind("RTSP/1.0 401", 0), 0u);
    EXPECT_EQ(handle(7, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 4\r\n" + answer("DESCRIBE", "00000002", "secret") +
                            "\r\n"), 0);
    EXPECT_EQ(last().rfind("RTSP/1.0 200 OK\r\nCseq: 4\r\nContent-Type: application/sdp", 0), 0u) << last();
    EXPECT_NE(rtsp_find_session(chn_, 7), nullptr) << "the first request with credentials starts the session";
    // The same answer again is a replay.
    EXPECT_EQ(handle(7, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 5\r\n" + answer("DESCRIBE", "00000002", "secret") +
                            "\r\n"), -1);
    EXPECT_EQ(last().rfind("RTSP/1.0 401", 0), 0u);
    rtsp_auth_free(static_cast<rtsp_auth *>(rtsp_->auth));
    rtsp_->auth = nullptr;
}

}  // namespace
