/*
 * test_process.cpp - the tavrocam program as a whole: banner, staying up
 * with no command words until a stop signal, exit status 255 after a
 * start-up failure.
 * TAVROCAM_BIN is the program's path, given by the build.
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "support/daemon.h"

namespace {

/* The program under test, started with `words` (and OZI_FAIL = `fail`). */
struct Daemon : tvrtest::Daemon {
    bool start(const std::vector<std::string> &words, const char *fail)
    {
        return tvrtest::Daemon::start(TAVROCAM_BIN, words, fail);
    }

    /* True while the program's main thread waits for a stop signal
     * (sigwait), that is, once it has started everything it starts. */
    bool waits_for_signal() const
    {
        FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/syscall").c_str(), "r");
        if (!f)
            return false;
        long nr = -1;   /* the call it sleeps in, or "running" */
        const bool in_call = std::fscanf(f, "%ld", &nr) == 1;
        std::fclose(f);
        return in_call && nr == SYS_rt_sigtimedwait;
    }
};

const std::regex kBanner(
    "^tavrocam version 0\\.4\\.0   [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\n");

} // namespace

TEST(TavrocamProcess, NoWordsPrintsBannerAndRunsUntilKilled)
{
    Daemon d;
    ASSERT_TRUE(d.start({}, nullptr));
    d.read_for(5000, "get device res");
    EXPECT_TRUE(std::regex_search(d.text, kBanner)) << d.text;
    EXPECT_NE(d.text.find("** vi version: "), std::string::npos) << d.text;
    /* Up, and idle: with everything started it waits for a signal, and a
     * stop signal ends it in order with status 0. */
    EXPECT_TRUE(tvrtest::wait_until([&] { return d.waits_for_signal(); }, 5000)) << d.text;
    EXPECT_EQ(d.wait_exit(0), -1) << d.text;
    ASSERT_EQ(kill(d.pid, SIGINT), 0);
    int status = d.wait_exit(3000);
    ASSERT_NE(status, -1);
    d.read_for(200);
    ASSERT_TRUE(WIFEXITED(status)) << d.text;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(d.text.find("tavrocam stopped\n"), std::string::npos) << d.text;
}

TEST(TavrocamProcess, StartUpFailureExitsWith255)
{
    struct Case {
        const char *fail;
        const char *line;
    };
    const Case cases[] = {
        {"ozi_sdk_init:1", ""},
        {"ozi_ai_open:1", "*** ozi_ai_open failed. ***\n"},
        {"ozi_vi_enable_chn:@1/1", "] vi sub channel enable failed!\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fail);
        Daemon d;
        ASSERT_TRUE(d.start({"record", "rtsp"}, c.fail));
        int status = d.wait_exit(5000);
        d.read_for(200);
        ASSERT_NE(status, -1) << "still running: " << d.text;
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 255);
        EXPECT_TRUE(std::regex_search(d.text, kBanner)) << d.text;
        EXPECT_NE(d.text.find(c.line), std::string::npos) << d.text;
    }
}
