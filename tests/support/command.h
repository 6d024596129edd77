/*
 * command.h - a shell command run for a test (ffmpeg, ffprobe, a program
 * under test) and its standard output.
 */
#ifndef TVRTEST_COMMAND_H
#define TVRTEST_COMMAND_H

#include <stdio.h>
#include <sys/wait.h>

#include <string>

namespace tvrtest {

/* Runs `cmd` through the shell; its standard output in *out and its exit
 * status, -1 when it did not exit normally, -2 when it could not start. */
inline int run(const std::string &cmd, std::string *out)
{
    out->clear();
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -2;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out->append(buf, n);
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

/* The standard output of `cmd`; "popen failed" when it could not start,
 * so that a test expecting no output does not pass on a command that
 * never ran. */
inline std::string run(const std::string &cmd)
{
    std::string out;
    return run(cmd, &out) == -2 ? "popen failed" : out;
}

} // namespace tvrtest

#endif /* TVRTEST_COMMAND_H */
