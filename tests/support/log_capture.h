/*
 * log_capture.h - what the code under test writes to standard output, the
 * way every log of the system goes out (the streaming library's, the
 * platform's and so the daemon's), caught for one scope.
 */
#ifndef TVRTEST_LOG_CAPTURE_H
#define TVRTEST_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace tvrtest {

/* From construction until take() or the end of the scope, standard output
 * (descriptor 1, any thread) goes to an unlinked scratch file instead of
 * where it went before.  A capture inside another takes the output until
 * it ends (they end in reverse order, as scopes do).  When the running test
 * has failed by the time the capture ends, what it caught (the failure's
 * message among it) is written to the restored output. */
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    /* Everything written so far; the capture goes on. */
    std::string text() const;
    /* text() cut at each newline (without it). */
    std::vector<std::string> lines() const;
    /* Whether `line` (ending with its newline) was written as a whole line. */
    bool has_line(const std::string &line) const;
    /* Ends the capture and returns everything written. */
    std::string take();

private:
    void stop();

    int file_ = -1;  /* the scratch file */
    int saved_ = -1; /* standard output as it was; -1 once restored */
};

} // namespace tvrtest

#endif /* TVRTEST_LOG_CAPTURE_H */
