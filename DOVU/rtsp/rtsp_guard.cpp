/*
 * rtsp_guard.cpp - log-safe copies, line budgets and descriptor admission
 * for the RTSP server.  Pure: no socket, no clock, no lock.
 */
#include "rtsp_guard.h"

#include <cstdio>
#include <cstring>

extern "C" size_t rtsp_log_escape(const char *in, size_t n, char *out, size_t out_size)
{
    if (!out || out_size == 0)
        return 0;
    size_t take = n > RTSP_LOG_REQ_MAX ? RTSP_LOG_REQ_MAX : n;
    size_t o = 0;
    for (size_t i = 0; in && i < take; i++) {
        unsigned char c = (unsigned char)in[i];
        char esc[5];
        size_t k;
        if (c == '\\')
            k = (size_t)snprintf(esc, sizeof(esc), "\\\\");
        else if (c == '\r')
            k = (size_t)snprintf(esc, sizeof(esc), "\\r");
        else if (c == '\n')
            k = (size_t)snprintf(esc, sizeof(esc), "\\n");
        else if (c == '\t')
            k = (size_t)snprintf(esc, sizeof(esc), "\\t");
        else if (c >= 0x20 && c < 0x7f)
            esc[0] = (char)c, esc[1] = '\0', k = 1;
        else
            k = (size_t)snprintf(esc, sizeof(esc), "\\x%02x", c);
        if (o + k + 1 > out_size)
            break;
        memcpy(out + o, esc, k);
        o += k;
    }
    if (n > take) {
        int k = snprintf(out + o, out_size - o, " [+%zu bytes]", n - take);
        if (k > 0 && o + (size_t)k < out_size)
            o += (size_t)k;
    }
    out[o] = '\0';
    return o;
}

extern "C" int rtsp_rate_allow(rtsp_rate *r, uint64_t now_ms, uint32_t per_sec)
{
    if (!r)
        return 0;
    if (now_ms >= r->window_ms + 1000 || now_ms < r->window_ms) {
        r->window_ms = now_ms;
        r->used = 0;
    }
    if (r->used < per_sec) {
        r->used++;
        return 1;
    }
    r->dropped++;
    return 0;
}

extern "C" uint32_t rtsp_rate_take_dropped(rtsp_rate *r)
{
    if (!r)
        return 0;
    uint32_t d = r->dropped;
    r->dropped = 0;
    return d;
}

extern "C" int rtsp_fd_admit(int fd, long fd_limit, int reserve)
{
    if (fd < 0)
        return 0;
    if (fd_limit <= 0)
        return 1;
    if (reserve < 0)
        reserve = 0;
    return (long)fd + 1 + reserve <= fd_limit;
}
