/*
 * ll_log.cpp - level-filtered log facility of the streaming library.
 *
 * Callers: the whole library (registry, RTSP server, RTP delivery) from the
 * library user's thread, the RTSP server thread and the channel video
 * threads.
 *
 * THREADS: a line is formatted on the caller's stack without a lock;
 * lock_syslog serialises writing lines and closing a stream, so lines never
 * interleave and a stream is not closed under a writer.  The set level is an atomic read without the lock.  Each thread
 * has its own time-stamp buffer, so a time stamp cannot change while another
 * thread formats it.  No lock of this module is held while another is taken.
 */
#include "ll_log.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <sys/time.h>

#include <atomic>

#include "ll_lock.h"

namespace {

constexpr size_t kMsgSize = 1024;   // formatted message: at most 1023 chars
constexpr size_t kLineSize = 2048;  // finished line: at most 2047 chars
constexpr size_t kTimeSize = 64;

// Guards st, log_file, every write to the current stream and closing a stream.
// A plain pthread mutex: locking it cannot throw across the C interface.
pthread_mutex_t lock_syslog = PTHREAD_MUTEX_INITIALIZER;
FILE *st = nullptr;        // current output stream; standard output once a line was logged
FILE *log_file = nullptr;  // the file ll_logopen opened and ll_logclose has not closed

std::atomic<int> setted_level{LOG_LEVEL_RESERVED};

thread_local char time_str[kTimeSize];

static_assert(sizeof(Log_Level) == sizeof(int), "Log_Level is passed as an int");

// A caller may pass any number as a level.  Reading it through memcpy keeps
// an out-of-range value from being loaded as a Log_Level.
int level_value(const Log_Level *level)
{
    int v;
    memcpy(&v, level, sizeof v);
    return v;
}

bool level_valid(int level)
{
    return level >= LOG_LEVEL_RESERVED && level <= LOG_LEVEL_DISABLE;
}

const char *level_tag(int level)
{
    switch (level) {
    case LOG_LEVEL_DEBUG: return "DEBUG";
    case LOG_LEVEL_INFO: return "INFO";
    case LOG_LEVEL_WARNING: return "WARNING";
    case LOG_LEVEL_ERROR: return "ERROR";
    default: return nullptr;
    }
}

}  // namespace

extern "C" {

FILE *ll_logopen(const char *log_file_name)
{
    if (!log_file_name)
        return nullptr;
    ll_lock guard(&lock_syslog);
    if (log_file) {
        printf("log file was opened!\n");
        return nullptr;
    }
    FILE *f = fopen(log_file_name, "w+");
    if (!f) {
        printf("fopen %s failed:%s\n", log_file_name, strerror(errno));
        return nullptr;
    }
    log_file = f;
    st = f;
    return f;
}

void ll_logclose(FILE *stream)
{
    if (!stream)
        return;
    ll_lock guard(&lock_syslog);
    fflush(stream);
    fclose(stream);
    // Forget the closed stream so that nothing writes to it and the log can
    // be opened again after a later ll_logopen.
    if (stream == log_file)
        log_file = nullptr;
    if (stream == st)
        st = nullptr;
}

char *ll__format_time_stamp(char *buf, size_t size, time_t sec, long usec)
{
    if (!buf || size == 0)
        return buf;
    struct tm tm_now;
    if (!localtime_r(&sec, &tm_now)) {
        buf[0] = '\0';
        return buf;
    }
    snprintf(buf, size, "%02d-%02d-%02d %02d:%02d:%02d:%03li", (tm_now.tm_year + 1900) % 2000,
             tm_now.tm_mon + 1, tm_now.tm_mday, tm_now.tm_hour, tm_now.tm_min, tm_now.tm_sec,
             usec / 1000);
    return buf;
}

char *ll_getCurrentTimeStr(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return ll__format_time_stamp(time_str, sizeof(time_str), tv.tv_sec, (long)tv.tv_usec);
}

void ll_printf(Log_Level log_level, const char *format, ...)
{
    const int level = level_value(&log_level);
    if (!level_valid(level) || !format)
        return;

    // Both buffers live on the caller's stack: no allocation while logging.
    char pfmt[kMsgSize];
    char szBuf[kLineSize];
    pfmt[0] = '\0';
    szBuf[0] = '\0';

    // A filtered-out line costs no formatting.
    if (level < setted_level.load(std::memory_order_relaxed))
        return;

    // Formatting needs no lock.  vsnprintf cuts a longer message to the
    // buffer; the line always fits (tag + message + newline < kLineSize).
    va_list ap;
    va_start(ap, format);
    vsnprintf(pfmt, sizeof(pfmt), format, ap);
    va_end(ap);
    const char *tag = level_tag(level);
    if (level != LOG_LEVEL_STDOUT && !tag)
        return;  // RESERVED, DISABLE: no line
    if (tag)
        snprintf(szBuf, sizeof(szBuf), "[%s]%s\n", tag, pfmt);

    ll_lock guard(&lock_syslog);
    st = stdout;
    if (level == LOG_LEVEL_STDOUT) {
        printf("%s\n", pfmt);
        return;
    }
    fputs(szBuf, st);
    // INFO lines are left to the stream's buffering; the others are flushed
    // right after they are written so that they survive a crash.
    if (level != LOG_LEVEL_INFO)
        fflush(st);
}

void ll_set_log_level(Log_Level log_level)
{
    const int level = level_value(&log_level);
    if (level_valid(level))
        setted_level.store(level, std::memory_order_relaxed);
}

Log_Level ll_get_log_level(void)
{
    return static_cast<Log_Level>(setted_level.load(std::memory_order_relaxed));
}

}  // extern "C"
