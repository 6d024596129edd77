/*
 * test_process.cpp - the tavrocam program as a whole: banner, staying up
 * with no command words until a stop signal, exit status 255 after a
 * start-up failure.
 * TAVROCAM_BIN is the program's path, given by the build.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Daemon {
    pid_t pid = -1;
    int out = -1;   /* read end of the program's stdout+stderr */
    std::string text;

    /* Starts the program with `words`; `fail` goes to OZI_FAIL. */
    bool start(const std::vector<std::string> &words, const char *fail)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            close(fds[0]);
            close(fds[1]);
            if (fail)
                setenv("OZI_FAIL", fail, 1);
            else
                unsetenv("OZI_FAIL");
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(TAVROCAM_BIN));
            for (const std::string &w : words)
                argv.push_back(const_cast<char *>(w.c_str()));
            argv.push_back(nullptr);
            execv(TAVROCAM_BIN, argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
        fcntl(out, F_SETFL, O_NONBLOCK);
        return true;
    }

    /* Collects output for up to `ms`, or until `until` appears. */
    void read_for(int ms, const std::string &until = "")
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (!until.empty() && text.find(until) != std::string::npos)
                return;
            struct pollfd p = {out, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[4096];
            ssize_t n = read(out, buf, sizeof buf);
            if (n > 0)
                text.append(buf, static_cast<size_t>(n));
            else if (n == 0)
                return;
        }
    }

    /* Waits up to `ms` for the end (the process's descriptor becomes
     * readable when it exits); the wait status, or -1 if still running. */
    int wait_exit(int ms)
    {
        int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pfd < 0)
            return -1;
        struct pollfd p = {pfd, POLLIN, 0};
        poll(&p, 1, ms);
        close(pfd);
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != pid)
            return -1;
        pid = -1;
        return status;
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

    ~Daemon()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
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
    bool idle = false;
    for (int i = 0; i < 500 && !idle && d.wait_exit(10) == -1; i++)
        idle = d.waits_for_signal();
    EXPECT_TRUE(idle) << d.text;
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
