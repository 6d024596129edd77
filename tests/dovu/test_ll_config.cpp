// Configuration reader: handles from paths, the keys it answers with their
// built-in defaults, and every refused argument leaving the buffer alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "ll_config.h"
#include "support/scratch_dir.h"
#include "support/log_capture.h"

namespace {

TEST(LlConfig, InitChecksOnlyThePath)
{
    struct {
        const char *path;
        int32_t want;
    } cases[] = {
        {"dovu.conf", 0},
        {"/nonexistent-dir/dovu.conf", 0},
        {"", -1},
        {nullptr, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ll_config_init(c.path), c.want) << (c.path ? c.path : "(null)");
}

TEST(LlConfig, AnswersTheRtspKeysFromBuiltInDefaults)
{
    const int32_t h = ll_config_init("dovu.conf");
    ASSERT_EQ(h, 0);
    struct {
        const char *key;
        std::string want;
    } cases[] = {
        {"port", std::to_string(DOVU_RTSP_PORT)},
        {"max_idle_time", "180"},
    };
    for (const auto &c : cases) {
        char value[20];
        memset(value, 'x', sizeof value);
        EXPECT_EQ(ll_get_config_key_value(h, "RTSP", c.key, value), 0) << c.key;
        EXPECT_EQ(std::string(value), c.want) << c.key;
    }
}

TEST(LlConfig, ReadsLikeTheRtspServerDoes)
{
    // One zeroed 20-byte buffer for both keys, each read converted with atoi.
    const int32_t h = ll_config_init("dovu.conf");
    char buf[20] = {0};
    ll_get_config_key_value(h, "RTSP", "port", buf);
    const int port = atoi(buf);
    ll_get_config_key_value(h, "RTSP", "max_idle_time", buf);
    EXPECT_EQ(port, DOVU_RTSP_PORT);
    EXPECT_EQ(atoi(buf), 180);
}

TEST(LlConfig, RefusedLookupsLeaveTheBufferUntouched)
{
    struct {
        int32_t handle;
        const char *tittle;
        const char *key;
        bool null_value;
    } cases[] = {
        {-1, "RTSP", "port", false},       // handle of a rejected path
        {1, "RTSP", "port", false},        // never handed out
        {0, nullptr, "port", false},
        {0, "", "port", false},
        {0, "RTSP", nullptr, false},
        {0, "RTSP", "", false},
        {0, "RTSP", "port", true},
        {0, "RTSP", "unknown_key", false},
        {0, "rtsp", "port", false},        // titles and keys are case-sensitive
        {0, "HTTP", "port", false},
    };
    for (const auto &c : cases) {
        char value[20];
        memset(value, 'x', sizeof value);
        EXPECT_EQ(ll_get_config_key_value(c.handle, c.tittle, c.key, c.null_value ? nullptr : value),
                  -1)
            << c.handle << " " << (c.tittle ? c.tittle : "(null)") << " "
            << (c.key ? c.key : "(null)");
        for (char ch : value)
            ASSERT_EQ(ch, 'x');
    }
}

TEST(LlConfig, NoFileIsRead)
{
    // A configuration file naming another port changes nothing.
    tvrtest::ScratchDir dir("ll_config_test");
    ASSERT_NE(dir.path(), "");
    const std::string path = dir / "dovu.conf";
    std::ofstream(path) << "[RTSP]\nport=9999\nmax_idle_time=5\n";
    const int32_t h = ll_config_init(path.c_str());
    char buf[20] = {0};
    EXPECT_EQ(ll_get_config_key_value(h, "RTSP", "port", buf), 0);
    EXPECT_EQ(atoi(buf), DOVU_RTSP_PORT);
}

TEST(LlConfig, DestroyClosesNothingAndPrintsNothing)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    tvrtest::LogCapture capture;
    ll_config_destroy(0);
    ll_config_destroy(-1);
    ll_config_destroy(fds[0]);  // a descriptor the reader never opened
    EXPECT_EQ(capture.take(), "");
    EXPECT_NE(fcntl(fds[0], F_GETFD), -1) << "descriptor was closed";
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
