// Limits that keep one peer from starving the server: escaped and cut log
// copies, line budgets, descriptor admission, and the connection read path
// (one read per event, bounded log) driven through a socket pair.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "ll_log.h"
#include "rtsp_guard.h"
#include "rtsp_request.h"
#include "rtsp_test_util.h"
#include "support/log_capture.h"

namespace {

std::string escape(const std::string &in, size_t out_size = RTSP_LOG_ESCAPED_SIZE)
{
    std::string out(out_size, '#');
    size_t n = rtsp_log_escape(in.data(), in.size(), &out[0], out.size());
    EXPECT_EQ(out[n], '\0');
    return out.substr(0, n);
}

TEST(LogEscape, ControlBytesAreEscapedAndLongInputIsCut)
{
    struct Row {
        std::string in;
        std::string want;
    } rows[] = {
        {"OPTIONS * RTSP/1.0\r\n", "OPTIONS * RTSP/1.0\\r\\n"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\x1b[2J\t\\", "\\x1b[2J\\t\\\\"},
        {"\x7f\xff", "\\x7f\\xff"},
        {"", ""},
        {std::string(256, 'x'), std::string(256, 'x')},
        {std::string(300, 'y'), std::string(256, 'y') + " [+44 bytes]"},
        {std::string(300, '\n'), [] {
             std::string s;
             for (int i = 0; i < 256; i++)
                 s += "\\n";
             return s + " [+44 bytes]";
         }()},
    };
    for (const Row &r : rows)
        EXPECT_EQ(escape(r.in), r.want) << r.in.size() << " bytes";
    // A small output buffer never takes half an escape.
    EXPECT_EQ(escape("ab\x01", 6), "ab");
    EXPECT_EQ(escape("ab\x01", 7), "ab\\x01");
}

TEST(RateBudget, WindowsOfOneSecond)
{
    rtsp_rate r = {};
    // now_ms, expected grant, with a budget of 3 per second.
    struct Step {
        uint64_t now;
        int allow;
    } steps[] = {{5000, 1}, {5001, 1}, {5999, 1}, {5999, 0}, {5999, 0},
                 {6000, 1}, {6001, 1}, {6002, 1}, {6003, 0}, {100, 1}};
    for (const Step &s : steps)
        EXPECT_EQ(rtsp_rate_allow(&r, s.now, 3), s.allow) << "at " << s.now;
    EXPECT_EQ(rtsp_rate_take_dropped(&r), 3u);
    EXPECT_EQ(rtsp_rate_take_dropped(&r), 0u);
}

TEST(FdAdmit, LeavesTheReserveFree)
{
    struct Row {
        int fd;
        long limit;
        int reserve;
        int want;
    } rows[] = {
        {959, 1024, 64, 1},    // 960 open, 64 left
        {960, 1024, 64, 0},
        {1023, 1024, 0, 1},
        {3, 0, 64, 1},         // no limit
        {-1, 1024, 0, 0},
        {5, 1024, -3, 1},
    };
    for (const Row &r : rows)
        EXPECT_EQ(rtsp_fd_admit(r.fd, r.limit, r.reserve), r.want) << r.fd << "/" << r.limit;
}

// ---- the connection read path --------------------------------------------

uint64_t g_now = 1000000;
uint64_t test_clock() { return g_now; }

class ReadPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        rtsp__set_clock(test_clock);
        rtsp_ = fake_rtsp_new(31600);
        fake_channel_add(rtsp_, "cam/main", true);
    }
    void TearDown() override
    {
        rtsp__conns_close(rtsp_);
        for (int fd : peers_)
            close(fd);
        fake_rtsp_free(rtsp_);
        rtsp__set_clock(nullptr);
        ll_set_log_level(LOG_LEVEL_WARNING);
    }
    // A connection adopted by the server object; returns the peer's end.
    int connect_pair(int *server_fd = nullptr)
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
        fcntl(sv[1], F_SETFL, O_NONBLOCK);
        peers_.push_back(sv[1]);
        if (server_fd)
            *server_fd = sv[0];
        if (rtsp__conn_open(rtsp_, sv[0]) != 0)
            return -sv[1];
        return sv[1];
    }
    static std::string drain(int fd)
    {
        std::string out;
        char b[8192];
        ssize_t n;
        while ((n = read(fd, b, sizeof(b))) > 0)
            out.append(b, (size_t)n);
        return out;
    }
    static size_t count(const std::string &s, const std::string &what)
    {
        size_t n = 0;
        for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1))
            n++;
        return n;
    }
    rtsp_t *rtsp_ = nullptr;
    std::vector<int> peers_;
};

std::string options(int cseq)
{
    return "OPTIONS rtsp://h/cam/main RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n\r\n";
}

TEST_F(ReadPath, PipeliningClientGetsOneBufferPerEvent)
{
    int sfd = 0;
    int peer = connect_pair(&sfd);
    ASSERT_GT(peer, 0);
    std::string flood;
    const int kReqs = 200;
    for (int i = 0; i < kReqs; i++)
        flood += options(i);
    ASSERT_EQ(write(peer, flood.data(), flood.size()), (ssize_t)flood.size());

    ASSERT_EQ(rtsp__conn_event(rtsp_, sfd, EPOLLIN), 1);
    size_t first = count(drain(peer), "RTSP/1.0 200 OK");
    EXPECT_GT(first, 0u);
    EXPECT_LE(first, (RTSP_RECV_BUF_SIZE - 1) / options(0).size() + 1)
        << "one event read more than one buffer";
    size_t total = first;
    for (int i = 0; i < kReqs && total < (size_t)kReqs; i++) {
        ASSERT_EQ(rtsp__conn_event(rtsp_, sfd, EPOLLIN), 1);
        total += count(drain(peer), "RTSP/1.0 200 OK");
    }
    EXPECT_EQ(total, (size_t)kReqs);
}

TEST_F(ReadPath, RequestLogIsEscapedCutAndBudgeted)
{
    ll_set_log_level(LOG_LEVEL_DEBUG);
    int sfd = 0;
    int peer = connect_pair(&sfd);
    ASSERT_GT(peer, 0);
    std::string evil = "OPTIONS rtsp://h/cam/main RTSP/1.0\r\nCSeq: 1\r\nX-Evil: \x1b[2J\x07" +
                       std::string(400, 'z') + "\r\n\r\n";
    std::string batch;
    for (int i = 0; i < 5; i++)
        batch += evil;

    tvrtest::LogCapture capture;
    ASSERT_EQ(write(peer, batch.data(), batch.size()), (ssize_t)batch.size());
    for (int i = 0; i < 10; i++)
        rtsp__conn_event(rtsp_, sfd, EPOLLIN);
    g_now += 1000;   // the next second's budget
    ASSERT_EQ(write(peer, evil.data(), evil.size()), (ssize_t)evil.size());
    rtsp__conn_event(rtsp_, sfd, EPOLLIN);
    std::string log = capture.take();

    EXPECT_EQ(count(drain(peer), "RTSP/1.0 200 OK"), 6u) << "every request answered";
    EXPECT_EQ(count(log, "receive fd"), 4u) << log;
    EXPECT_EQ(count(log, "(2 requests not logged)"), 1u) << log;
    EXPECT_EQ(count(log, "Reply OPTIONS"), 4u) << "handler lines share the budget";
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << "raw control byte in the log";
    EXPECT_NE(log.find("\\x1b[2J\\x07"), std::string::npos) << log;
    EXPECT_EQ(log.find(std::string(300, 'z')), std::string::npos) << "request not cut";
    EXPECT_NE(log.find(" bytes]"), std::string::npos);
}

TEST_F(ReadPath, ManyConnectionsShareOneLogBudget)
{
    ll_set_log_level(LOG_LEVEL_DEBUG);
    g_now += 5000;   // a fresh second for the server-wide budget
    tvrtest::LogCapture capture;
    for (int i = 0; i < 6; i++) {
        int sfd = 0;
        int peer = connect_pair(&sfd);
        ASSERT_GT(peer, 0);
        std::string two = options(1) + options(2);
        ASSERT_EQ(write(peer, two.data(), two.size()), (ssize_t)two.size());
        ASSERT_EQ(rtsp__conn_event(rtsp_, sfd, EPOLLIN), 1);
    }
    std::string log = capture.take();
    EXPECT_EQ(count(log, "receive fd"), 10u) << "12 requests on 6 connections";
}

TEST_F(ReadPath, ConnectionCapAndDescriptorReserveCloseAtOnce)
{
    rtsp_->max_conns = 2;
    EXPECT_GT(connect_pair(), 0);
    EXPECT_GT(connect_pair(), 0);
    int refused = connect_pair();
    ASSERT_LT(refused, 0) << "third connection adopted beyond the cap";
    char c;
    EXPECT_EQ(read(-refused, &c, 1), 0) << "refused connection not closed";

    rtsp_->max_conns = 0;
    rtsp_->fd_reserve = 1 << 30;   // nothing left to give
    refused = connect_pair();
    ASSERT_LT(refused, 0);
    EXPECT_EQ(read(-refused, &c, 1), 0);
}

TEST_F(ReadPath, OverlongUrlGets414)
{
    int sfd = 0;
    int peer = connect_pair(&sfd);
    ASSERT_GT(peer, 0);
    std::string r = "DESCRIBE rtsp://h/cam/main/" + std::string(400, 'u') +
                    " RTSP/1.0\r\nCSeq: 12\r\n\r\n" + options(13);
    ASSERT_EQ(write(peer, r.data(), r.size()), (ssize_t)r.size());
    ASSERT_EQ(rtsp__conn_event(rtsp_, sfd, EPOLLIN), 1);
    std::string got = drain(peer);
    EXPECT_EQ(got.rfind("RTSP/1.0 414 Request-URI Too Long\r\nCSeq: 12\r\n\r\nRTSP/1.0 200 OK", 0), 0u)
        << got;
}

}  // namespace
