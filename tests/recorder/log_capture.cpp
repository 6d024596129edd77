#include "log_capture.h"

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

#include "ozi_sdk.h"

namespace {
std::mutex log_mutex;
std::vector<std::string> log_lines;  /* guarded by log_mutex */
} // namespace

extern "C" int ozi_print(int module, int level, const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines.push_back(std::to_string(module) + "/" + std::to_string(level) + " " + buf);
    return 0;
}

std::vector<std::string> captured_log()
{
    std::lock_guard<std::mutex> lock(log_mutex);
    return log_lines;
}

void clear_captured_log()
{
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines.clear();
}
