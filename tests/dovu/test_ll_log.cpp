// Log facility: level filter and tags, time-stamp format, cut lines, the
// log file, and whole lines from concurrent writers.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ll_log.h"
#include "support/log_capture.h"

namespace {

// Restores the process-wide level after each test.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = ll_get_log_level(); }
    void TearDown() override { ll_set_log_level(saved_); }
    Log_Level saved_ = LOG_LEVEL_RESERVED;
};

std::string log_and_capture(Log_Level level, const char *msg)
{
    tvrtest::LogCapture capture;
    ll_printf(level, "%s", msg);
    return capture.take();
}

std::string expected_line(int level, const std::string &msg)
{
    static const char *tags[] = {nullptr, nullptr, "DEBUG", "INFO", "WARNING", "ERROR", nullptr};
    if (level == LOG_LEVEL_STDOUT)
        return msg + "\n";
    if (!tags[level])
        return "";
    return std::string("[") + tags[level] + "]" + msg + "\n";
}

TEST_F(LogTest, EveryLevelAgainstEverySetLevel)
{
    for (int set = LOG_LEVEL_RESERVED; set <= LOG_LEVEL_DISABLE; ++set) {
        ll_set_log_level(static_cast<Log_Level>(set));
        ASSERT_EQ(ll_get_log_level(), set);
        for (int lvl = LOG_LEVEL_RESERVED; lvl <= LOG_LEVEL_DISABLE; ++lvl) {
            std::string out = log_and_capture(static_cast<Log_Level>(lvl), "hello 42");
            std::string want = lvl >= set ? expected_line(lvl, "hello 42") : "";
            EXPECT_EQ(out, want) << "set level " << set << ", line level " << lvl;
        }
    }
}

TEST_F(LogTest, MessageEndingInNewlineGetsAnEmptyLine)
{
    ll_set_log_level(LOG_LEVEL_DEBUG);
    tvrtest::LogCapture capture;
    ll_printf(LOG_LEVEL_WARNING, "[%s]x=%d\n", "t", 5);
    EXPECT_EQ(capture.take(), "[WARNING][t]x=5\n\n");
}

TEST_F(LogTest, OutOfRangeLevelsAndNullFormatAreIgnored)
{
    ll_set_log_level(LOG_LEVEL_WARNING);
    ll_set_log_level(static_cast<Log_Level>(7));
    EXPECT_EQ(ll_get_log_level(), LOG_LEVEL_WARNING);
    ll_set_log_level(static_cast<Log_Level>(-1));
    EXPECT_EQ(ll_get_log_level(), LOG_LEVEL_WARNING);
    ll_set_log_level(LOG_LEVEL_RESERVED);

    tvrtest::LogCapture capture;
    ll_printf(static_cast<Log_Level>(7), "%s", "nope");
    ll_printf(static_cast<Log_Level>(-1), "%s", "nope");
    ll_printf(LOG_LEVEL_ERROR, nullptr);
    EXPECT_EQ(capture.take(), "");
}

TEST_F(LogTest, LongMessagesAreCutToTheBuffer)
{
    ll_set_log_level(LOG_LEVEL_RESERVED);
    const std::string longmsg(5000, 'a');
    const std::string cut(1023, 'a');
    EXPECT_EQ(log_and_capture(LOG_LEVEL_ERROR, longmsg.c_str()), "[ERROR]" + cut + "\n");
    EXPECT_EQ(log_and_capture(LOG_LEVEL_STDOUT, longmsg.c_str()), cut + "\n");
    const std::string fits(1023, 'b');
    EXPECT_EQ(log_and_capture(LOG_LEVEL_INFO, fits.c_str()), "[INFO]" + fits + "\n");
}

struct stamp_case {
    int year, mon, day, hour, min, sec;
    long usec;
    const char *want;
};

TEST_F(LogTest, TimeStampFormat)
{
    const char *old_tz = getenv("TZ");
    std::string saved = old_tz ? old_tz : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    const stamp_case cases[] = {
        {2023, 2, 10, 16, 35, 8, 123456, "23-02-10 16:35:08:123"},
        {2000, 1, 1, 0, 0, 0, 999999, "00-01-01 00:00:00:999"},
        {2009, 12, 31, 23, 59, 59, 999, "09-12-31 23:59:59:000"},
        {2038, 7, 4, 5, 6, 7, 1000, "38-07-04 05:06:07:001"},
    };
    for (const stamp_case &c : cases) {
        struct tm tm_in = {};
        tm_in.tm_year = c.year - 1900;
        tm_in.tm_mon = c.mon - 1;
        tm_in.tm_mday = c.day;
        tm_in.tm_hour = c.hour;
        tm_in.tm_min = c.min;
        tm_in.tm_sec = c.sec;
        time_t t = timegm(&tm_in);
        char buf[64];
        EXPECT_STREQ(ll__format_time_stamp(buf, sizeof buf, t, c.usec), c.want);
    }
    // A short buffer is cut, never overrun.
    char small[9];
    memset(small, 'z', sizeof small);
    ll__format_time_stamp(small, 8, 0, 0);
    EXPECT_EQ(strlen(small), 7u);
    EXPECT_EQ(small[8], 'z');

    if (old_tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(LogTest, CurrentTimeStringIsNowAndPerThread)
{
    const std::regex form(R"(\d{2}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3})");
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char *mine = ll_getCurrentTimeStr();
    ASSERT_TRUE(std::regex_match(mine, form)) << mine;
    char day[48];
    snprintf(day, sizeof day, "%02d-%02d-%02d", (lt.tm_year + 1900) % 2000, lt.tm_mon + 1,
             lt.tm_mday);
    EXPECT_EQ(std::string(mine, 8), day);

    char *other = nullptr;
    std::thread([&] { other = ll_getCurrentTimeStr(); }).join();
    EXPECT_NE(mine, other);
}

TEST_F(LogTest, OpenCreatesEmptyFileRefusesSecondOpenAndReopensAfterClose)
{
    char path[] = "/tmp/ll_log_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "old contents\n", 13), 13);
    close(fd);

    FILE *f = ll_logopen(path);
    ASSERT_NE(f, nullptr);
    struct stat sb;
    ASSERT_EQ(stat(path, &sb), 0);
    EXPECT_EQ(sb.st_size, 0);

    tvrtest::LogCapture capture;
    EXPECT_EQ(ll_logopen(path), nullptr);
    EXPECT_EQ(capture.take(), "log file was opened!\n");

    // Lines go to standard output, never into the file.
    ll_set_log_level(LOG_LEVEL_DEBUG);
    tvrtest::LogCapture capture2;
    ll_printf(LOG_LEVEL_ERROR, "[%s]to stdout", "t");
    EXPECT_EQ(capture2.take(), "[ERROR][t]to stdout\n");
    ll_logclose(f);
    ASSERT_EQ(stat(path, &sb), 0);
    EXPECT_EQ(sb.st_size, 0);

    ll_logclose(nullptr);  // ignored
    f = ll_logopen(path);
    EXPECT_NE(f, nullptr);
    ll_logclose(f);
    unlink(path);
}

TEST_F(LogTest, OpenFailureIsReported)
{
    tvrtest::LogCapture capture;
    EXPECT_EQ(ll_logopen("/nonexistent-dir/x.log"), nullptr);
    EXPECT_EQ(capture.take(), "fopen /nonexistent-dir/x.log failed:No such file or directory\n");
}

TEST_F(LogTest, ConcurrentLinesStayWhole)
{
    ll_set_log_level(LOG_LEVEL_DEBUG);
    constexpr int kThreads = 4, kLines = 200;
    const std::string body(300, 'q');
    tvrtest::LogCapture capture;
    std::vector<std::thread> th;
    for (int t = 0; t < kThreads; ++t)
        th.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                ll_printf(i % 2 ? LOG_LEVEL_INFO : LOG_LEVEL_ERROR, "[%s]t%d i%d %s",
                          ll_getCurrentTimeStr(), t, i, body.c_str());
        });
    for (auto &x : th)
        x.join();
    std::istringstream out(capture.take());
    const std::regex line(R"(\[(INFO|ERROR)\]\[[-0-9: ]{21}\]t\d i\d+ q{300})");
    int count = 0;
    for (std::string l; std::getline(out, l); ++count)
        ASSERT_TRUE(std::regex_match(l, line)) << "line " << count << ": " << l.substr(0, 80);
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
