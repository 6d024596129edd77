#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace tvrtest {

LogCapture::LogCapture()
{
    char path[] = "/tmp/tvrtest_log_XXXXXX";
    file_ = mkstemp(path);
    if (file_ < 0)
        return;
    unlink(path);
    fflush(stdout);
    saved_ = dup(1);
    dup2(file_, 1);
}

LogCapture::~LogCapture()
{
    stop();
    if (file_ >= 0)
        close(file_);
}

void LogCapture::stop()
{
    if (saved_ < 0)
        return;
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    /* A check that failed during the capture wrote its message here: give
     * it (and the log around it) back to the test's output. */
    if (testing::Test::HasFailure()) {
        const std::string out = text();
        printf("---- output captured while the test failed ----\n%s"
               "---- end of captured output ----\n", out.c_str());
        fflush(stdout);
    }
}

std::string LogCapture::text() const
{
    fflush(stdout);
    std::string out;
    char buf[4096];
    off_t at = 0;
    ssize_t n;
    while (file_ >= 0 && (n = pread(file_, buf, sizeof buf, at)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return out;
}

std::vector<std::string> LogCapture::lines() const
{
    std::vector<std::string> out;
    const std::string all = text();
    size_t from = 0;
    for (size_t nl; (nl = all.find('\n', from)) != std::string::npos; from = nl + 1)
        out.push_back(all.substr(from, nl - from));
    if (from < all.size())
        out.push_back(all.substr(from));
    return out;
}

bool LogCapture::has_line(const std::string &line) const
{
    return ("\n" + text()).find("\n" + line) != std::string::npos;
}

std::string LogCapture::take()
{
    std::string out = text();
    stop();
    return out;
}

} // namespace tvrtest
