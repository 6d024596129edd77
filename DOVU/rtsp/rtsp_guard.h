/*
 * rtsp_guard.h - limits that keep one peer from starving the RTSP server:
 * a log-safe copy of received bytes, a per-second line budget, and the
 * admission rule for new descriptors.  Pure functions over plain records;
 * the server thread owns every record it passes in.
 */
#ifndef RTSP_GUARD_H
#define RTSP_GUARD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Received bytes of one request that go to the log, at most. */
#define RTSP_LOG_REQ_MAX 256
/* Room rtsp_log_escape needs for RTSP_LOG_REQ_MAX bytes: four characters
 * per byte, the cut marker and the NUL. */
#define RTSP_LOG_ESCAPED_SIZE (RTSP_LOG_REQ_MAX * 4 + 32)

/*
 * Writes a printable copy of the first RTSP_LOG_REQ_MAX bytes of in[0..n)
 * into out (NUL-terminated, cut to fit out_size): bytes 0x20..0x7e as they
 * are except the backslash ("\\"), CR, LF and TAB as "\r", "\n", "\t", and
 * every other byte as "\xNN".  When in was cut, " [+N bytes]" follows.
 * Returns the length written.
 */
size_t rtsp_log_escape(const char *in, size_t n, char *out, size_t out_size);

/* A budget of lines (or attempts) per one-second window. */
typedef struct rtsp_rate {
    uint64_t window_ms;     /* start of the current window */
    uint32_t used;          /* granted in the current window */
    uint32_t dropped;       /* refused since the last grant */
} rtsp_rate;

/* 1 when one more event fits the budget of per_sec per second at now_ms,
 * and counts it; 0 (counted in dropped) when not.  A zeroed record is a
 * fresh budget. */
int rtsp_rate_allow(rtsp_rate *r, uint64_t now_ms, uint32_t per_sec);

/* Takes and clears the count of refused events (for a "N suppressed"
 * note on the next granted line). */
uint32_t rtsp_rate_take_dropped(rtsp_rate *r);

/*
 * 1 when the server may keep descriptor fd, opened while the process may
 * hold fd_limit descriptors: it must leave `reserve` numbers free above it
 * for the recorder and the encoders.  Descriptors are handed out lowest
 * first, so fd = k means k other descriptors are open.  A limit of 0 or
 * less means unlimited.
 */
int rtsp_fd_admit(int fd, long fd_limit, int reserve);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_GUARD_H */
