// Interleaved framing on the RTSP connection: the pure message framer,
// the Transport parser, and the connection's send queue over a socket pair.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "rtsp_interleave.h"
#include "rtsp_tcp_out.h"

namespace {

std::string ilv(uint8_t chan, const std::string &payload)
{
    uint8_t h[RTSP_ILV_HEADER_SIZE];
    rtsp_interleave_header(h, chan, (uint16_t)payload.size());
    return std::string(reinterpret_cast<char *>(h), sizeof(h)) + payload;
}

// Messages as "R:<request>" or "I<chan>:<payload>", cut from a stream fed
// in pieces of `step` bytes, as the server's read path consumes them.
std::vector<std::string> cut(const std::string &stream, size_t step, bool *bad)
{
    std::vector<std::string> out;
    std::string buf;
    *bad = false;
    for (size_t pos = 0; pos < stream.size(); pos += step) {
        buf += stream.substr(pos, step);
        for (;;) {
            rtsp_msg m;
            int r = rtsp_next_message(buf.data(), buf.size(), 3071, &m);
            if (r < 0) {
                *bad = true;
                return out;
            }
            if (r == 0 || buf.size() - m.skip < m.len) {
                buf.erase(0, m.skip);
                break;
            }
            std::string body = buf.substr(m.skip, m.len);
            if (m.kind == RTSP_MSG_INTERLEAVED)
                out.push_back("I" + std::to_string(m.channel) + ":" + body.substr(4));
            else
                out.push_back("R:" + body);
            buf.erase(0, m.skip + m.len);
        }
    }
    return out;
}

TEST(Interleave, FramerSplitsMergedAndSplitMessagesAlike)
{
    const std::string opt = "OPTIONS rtsp://h/a RTSP/1.0\r\nCSeq: 5\r\n\r\n";
    const std::string body = "GET_PARAMETER rtsp://h/a RTSP/1.0\r\nCSeq: 6\r\nContent-Length: 4\r\n\r\n$abc";
    const std::string rr(32, '\x81');
    const std::string dollar_in_payload("$\x01\x00\x02$$", 6);
    struct Case {
        const char *name;
        std::string stream;
        std::vector<std::string> want;
    } cases[] = {
        {"requests between packets", ilv(1, rr) + opt + ilv(3, "xy") + "\r\n" + opt,
         {"I1:" + rr, "R:" + opt, "I3:xy", "R:" + opt}},
        {"a '$' inside a packet and inside a body", ilv(0, dollar_in_payload) + body,
         {"I0:" + dollar_in_payload, "R:" + body}},
        {"empty packet, then keep-alive CRLF", ilv(7, "") + "\r\n\r\n" + ilv(255, "z"),
         {"I7:", "I255:z"}},
        {"a packet of 3000 bytes", opt + ilv(1, std::string(3000, 'q')) + opt,
         {"R:" + opt, "I1:" + std::string(3000, 'q'), "R:" + opt}},
    };
    for (const Case &c : cases)
        for (size_t step : {c.stream.size(), (size_t)1, (size_t)3, (size_t)5, (size_t)64}) {
            bool bad = false;
            EXPECT_EQ(cut(c.stream, step, &bad), c.want) << c.name << ", pieces of " << step;
            EXPECT_FALSE(bad) << c.name;
        }
}

TEST(Interleave, FramerReportsOversizedPacketLengthAndBadRequests)
{
    rtsp_msg m;
    std::string big = ilv(2, std::string(60000, 'x')).substr(0, 10);
    ASSERT_EQ(rtsp_next_message(big.data(), big.size(), 3071, &m), 1);
    EXPECT_EQ(m.kind, RTSP_MSG_INTERLEAVED);
    EXPECT_EQ(m.len, 60004u);   // more than the caller can hold: it skips it
    std::string bad = "OPTIONS x RTSP/1.0\r\nContent-Length: z\r\n\r\n";
    EXPECT_EQ(rtsp_next_message(bad.data(), bad.size(), 3071, &m), -1);
    std::string partial = "$\x01";
    EXPECT_EQ(rtsp_next_message(partial.data(), partial.size(), 3071, &m), 0);
}

TEST(Interleave, TransportChannels)
{
    struct Case {
        const char *req;
        int rc, a, b;
    } cases[] = {
        {"SETUP u RTSP/1.0\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n", 1, 0, 1},
        {"SETUP u RTSP/1.0\r\ntransport: RTP/AVP/TCP;interleaved=8\r\n\r\n", 1, 8, 9},
        {"SETUP u RTSP/1.0\r\nTransport: RTP/AVP/TCP;interleaved=254-255\r\n\r\n", 1, 254, 255},
        {"SETUP u RTSP/1.0\r\nTransport: RTP/AVP/TCP;interleaved=255\r\n\r\n", -1, 0, 0},
        {"SETUP u RTSP/1.0\r\nTransport: RTP/AVP/TCP;interleaved=3-3\r\n\r\n", -1, 0, 0},
        {"SETUP u RTSP/1.0\r\nTransport: RTP/AVP/TCP;interleaved=-1\r\n\r\n", -1, 0, 0},
        {"SETUP u RTSP/1.0\r\nTransport: RTP/AVP/TCP;interleaved=99999999999999999999\r\n\r\n", -1, 0, 0},
        {"SETUP u RTSP/1.0\r\nTransport: RTP/AVP/TCP;interleaved=2-x\r\n\r\n", -1, 0, 0},
        {"SETUP u RTSP/1.0\r\nTransport: RTP/AVP/TCP;unicast\r\n\r\n", 0, 0, 0},
        // Only the Transport header counts.
        {"SETUP u RTSP/1.0\r\nX-Note: interleaved=4-5\r\nTransport: RTP/AVP/TCP\r\n\r\n", 0, 0, 0},
    };
    for (const Case &c : cases) {
        int a = 0, b = 0;
        EXPECT_EQ(rtsp_transport_interleaved(c.req, &a, &b), c.rc) << c.req;
        if (c.rc == 1) {
            EXPECT_EQ(a, c.a) << c.req;
            EXPECT_EQ(b, c.b) << c.req;
        }
    }
}

// ---- the send queue --------------------------------------------------------

// A frame of `pkts` packets of 1000 bytes; each packet names its frame,
// its index and the frame's packet count.
struct Frame {
    std::vector<uint8_t> buf;
    std::vector<uint16_t> lens;
};
Frame make_frame(int id, int pkts)
{
    Frame f;
    for (int i = 0; i < pkts; i++) {
        std::vector<uint8_t> p(1000, (uint8_t)id);
        p[0] = (uint8_t)id, p[1] = (uint8_t)i, p[2] = (uint8_t)pkts;
        f.buf.insert(f.buf.end(), p.begin(), p.end());
        f.lens.push_back(1000);
    }
    return f;
}

class TcpOut : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
        int small = 4096;
        setsockopt(sv_[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        setsockopt(sv_[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        fcntl(sv_[1], F_SETFL, O_NONBLOCK);
    }
    void TearDown() override
    {
        rtsp_tcp_out_unref(out_);
        close(sv_[0]);
        close(sv_[1]);
    }
    // Sends a frame in runs of `per_run` packets; the first run decides.
    int push(int id, int pkts, bool key, int per_run = 4)
    {
        Frame f = make_frame(id, pkts);
        int first = -2;
        for (int i = 0; i < pkts; i += per_run) {
            int n = std::min(per_run, pkts - i);
            rtsp_ilv_run run = {f.buf.data() + i * 1000, f.lens.data() + i, n, 0};
            int r = rtsp_tcp_out_media(out_, &run, i == 0 ? RTSP_MEDIA_FRAME_START : RTSP_MEDIA_FRAME_MORE,
                                       f.buf.size() + pkts * 4, key, 0);
            if (i == 0)
                first = r;
        }
        return first;
    }
    // Reads everything, flushing the queue as a writable socket would.
    std::string drain()
    {
        std::string got;
        char b[65536];
        for (;;) {
            ssize_t r = read(sv_[1], b, sizeof(b));
            if (r > 0) {
                got.append(b, (size_t)r);
                continue;
            }
            rtsp_tcp_out_stats st;
            rtsp_tcp_out_get_stats(out_, &st);
            if (st.queued == 0)
                return got;
            EXPECT_EQ(rtsp_tcp_out_flush(out_), 0);
        }
    }
    // The frames received whole, in order, by id; a torn frame fails.
    std::vector<int> frames_in(const std::string &s, std::vector<std::string> *replies)
    {
        std::vector<int> ids;
        int cur = -1, next_pkt = 0;
        bool bad = false;
        for (const std::string &m : cut(s, s.size() ? s.size() : 1, &bad)) {
            if (m[0] == 'R') {
                replies->push_back(m.substr(2));
                continue;
            }
            const std::string p = m.substr(3);
            EXPECT_EQ(p.size(), 1000u);
            int id = (uint8_t)p[0], idx = (uint8_t)p[1], total = (uint8_t)p[2];
            if (idx == 0)
                cur = id, next_pkt = 0;
            EXPECT_EQ(id, cur) << "a packet of another frame inside frame " << cur;
            EXPECT_EQ(idx, next_pkt++) << "frame " << id << " is torn";
            if (idx == total - 1)
                ids.push_back(id);
        }
        EXPECT_FALSE(bad);
        return ids;
    }

    int sv_[2] = {-1, -1};
    rtsp_tcp_out *out_ = nullptr;
};

TEST_F(TcpOut, RepliesAndMediaKeepTheirOrder)
{
    out_ = rtsp_tcp_out_new(sv_[0], 1 << 20, -1, 0);
    const std::string r1 = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n";
    const std::string r2 = "RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n";
    ASSERT_EQ(rtsp_tcp_out_reply(out_, r1.data(), r1.size()), 0);
    EXPECT_EQ(push(1, 12, true), 1);   // more than the socket takes at once
    ASSERT_EQ(rtsp_tcp_out_reply(out_, r2.data(), r2.size()), 0);
    EXPECT_EQ(push(2, 3, false), 1);
    std::vector<std::string> replies;
    EXPECT_EQ(frames_in(drain(), &replies), (std::vector<int>{1, 2}));
    EXPECT_EQ(replies, (std::vector<std::string>{r1, r2}));
}

TEST_F(TcpOut, SlowReaderLosesWholeFramesUpToTheNextKeyFrame)
{
    out_ = rtsp_tcp_out_new(sv_[0], 20000, -1, 0);
    // Nobody reads: frames 1.. fill the socket and the queue, then the
    // frames that do not fit are dropped, and so are those that follow
    // until a key frame finds room.
    std::vector<int> accepted;
    for (int id = 1; id <= 12; id++)
        if (push(id, 6, id == 1) == 1)
            accepted.push_back(id);
    ASSERT_LT(accepted.size(), 12u);
    int first_dropped = (int)accepted.size() + 1;
    EXPECT_EQ(accepted.back(), first_dropped - 1) << "a frame after a dropped one got through";
    rtsp_tcp_out_stats st;
    rtsp_tcp_out_get_stats(out_, &st);
    EXPECT_EQ(st.frames_dropped, (uint64_t)(12 - accepted.size()));
    EXPECT_EQ(rtsp_tcp_out_take_episode(out_), 1) << "the start of the drops is reported";
    EXPECT_EQ(rtsp_tcp_out_take_episode(out_), 0) << "once";
    EXPECT_LE(st.queued, 20000u + 6 * 1004u);

    std::vector<std::string> replies;
    std::vector<int> got = frames_in(drain(), &replies);
    EXPECT_EQ(got, accepted);
    // Reading resumed: a P frame is still dropped, the key frame and the
    // frames after it arrive.
    EXPECT_EQ(push(20, 6, false), 0);
    EXPECT_EQ(push(21, 6, true), 1);
    EXPECT_EQ(push(22, 6, false), 1);
    EXPECT_EQ(frames_in(drain(), &replies), (std::vector<int>{21, 22}));
    EXPECT_TRUE(replies.empty());
}

TEST_F(TcpOut, ClosedOrBrokenConnectionRefusesWrites)
{
    out_ = rtsp_tcp_out_new(sv_[0], 20000, -1, 0);
    rtsp_tcp_out_ref(out_);   // a session's reference
    close(sv_[1]);
    sv_[1] = -1;
    EXPECT_EQ(push(1, 2, true), -1) << "a send to a peer that is gone must fail";
    rtsp_tcp_out_close(out_);
    EXPECT_EQ(rtsp_tcp_out_reply(out_, "x", 1), -1);
    EXPECT_EQ(rtsp_tcp_out_flush(out_), -1);
    rtsp_tcp_out_unref(out_);   // the connection's; the session's is left
}

}  // namespace
