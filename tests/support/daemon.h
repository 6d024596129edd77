/*
 * daemon.h - a program under test run as a child process: its standard
 * output and error collected, its end awaited, and killed if a test
 * leaves it running.
 */
#ifndef TVRTEST_DAEMON_H
#define TVRTEST_DAEMON_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/wait.h"

namespace tvrtest {

class Daemon {
public:
    Daemon() = default;
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;
    ~Daemon()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }

    /* Starts `bin` with `words`; `fail` (or nothing) goes to OZI_FAIL,
     * the platform's injected failures. */
    bool start(const char *bin, const std::vector<std::string> &words, const char *fail)
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
            argv.push_back(const_cast<char *>(bin));
            for (const std::string &w : words)
                argv.push_back(const_cast<char *>(w.c_str()));
            argv.push_back(nullptr);
            execv(bin, argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
        fcntl(out, F_SETFL, O_NONBLOCK);
        return true;
    }

    /* Collects output into `text` for up to `ms`, or until `until`
     * appears, or until the program closes its output. */
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

    /* Waits up to `ms` for the end; the wait status, or -1 if it still
     * runs. */
    int wait_exit(int ms)
    {
        int status = -1;
        wait_until(
            [&] {
                int st = 0;
                if (waitpid(pid, &st, WNOHANG) != pid)
                    return false;
                pid = -1;
                status = st;
                return true;
            },
            ms);
        return status;
    }

    pid_t pid = -1;
    int out = -1; /* read end of the program's stdout+stderr */
    std::string text;
};

} // namespace tvrtest

#endif /* TVRTEST_DAEMON_H */
