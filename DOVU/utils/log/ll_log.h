/*
 * ll_log.h - level-filtered log facility of the streaming library.
 *
 * Every line goes to standard output: a level tag in square brackets, then
 * the caller's message and a newline.  Callers begin each message with the
 * time stamp, "[%s]" filled from ll_getCurrentTimeStr():
 *
 *     ll_printf(LOG_LEVEL_INFO, "[%s]create rtsp server %s success",
 *               ll_getCurrentTimeStr(), what);
 *
 * and lines that say where they come from use LL_LOG, which adds the
 * function name and source line:
 *
 *     LL_LOG(LOG_LEVEL_ERROR, __func__, "bind failed : %s", strerror(errno));
 *
 * A line is written when its level is equal to or higher than the set level.
 * Messages longer than 1023 characters are cut to that length.
 *
 * THREADS: any thread may log; lock_syslog (inside ll_log.cpp) keeps lines
 * whole.  The time-stamp buffer is per thread.
 */
#ifndef LL_LOG_H
#define LL_LOG_H

#include <stddef.h>
#include <stdio.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Ordered: the set level lets through every line of that level or above. */
typedef enum {
    LOG_LEVEL_RESERVED = 0, /* no line; as set level, lets every line through */
    LOG_LEVEL_STDOUT = 1,   /* bare message, no tag */
    LOG_LEVEL_DEBUG = 2,
    LOG_LEVEL_INFO = 3,     /* the only tagged level that does not flush */
    LOG_LEVEL_WARNING = 4,
    LOG_LEVEL_ERROR = 5,
    LOG_LEVEL_DISABLE = 6,  /* no line; as set level, silences everything */
} Log_Level;

/* Creates or truncates the log file (mode "w+").  Returns the stream, or
 * null when it cannot be opened or a log file is open already. */
FILE *ll_logopen(const char *log_file_name);

/* Flushes and closes a stream that ll_logopen returned; ignores null. */
void ll_logclose(FILE *st);

/* Local wall-clock time as "yy-mm-dd hh:mm:ss:mmm" (year modulo 2000,
 * milliseconds truncated).  Points to a buffer of the calling thread that
 * the thread's next call overwrites. */
char *ll_getCurrentTimeStr(void);

/* Formats and writes one line; an out-of-range level or a null format
 * writes nothing. */
void ll_printf(Log_Level level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* One line "[<time stamp>][<where>:<line>]<message>".  `where` is the
 * function's name (__func__), or the name of the step a helper logs for
 * (the server thread, the request handler), so that its lines read as
 * that step's. */
#define LL_LOG(level, where, fmt, ...) \
    ll_printf((level), "[%s][%s:%d]" fmt, ll_getCurrentTimeStr(), (where), __LINE__, ##__VA_ARGS__)

/* Sets the filter level; a level outside 0..6 is ignored. */
void ll_set_log_level(Log_Level level);
Log_Level ll_get_log_level(void);

/* Internal, exposed for tests: formats the time stamp of sec/usec (local
 * time) into buf of size bytes; returns buf. */
char *ll__format_time_stamp(char *buf, size_t size, time_t sec, long usec);

#ifdef __cplusplus
}
#endif

#endif /* LL_LOG_H */
