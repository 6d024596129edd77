/*
 * rtsp_interleave.cpp - framing of requests and interleaved packets on an
 * RTSP connection.  Pure: no socket, thread or clock.
 */
#include "rtsp_interleave.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "rtsp_request.h"

extern "C" {

int rtsp_next_message(const char *buf, size_t len, size_t max_request, rtsp_msg *m)
{
    if (!buf || !m)
        return -1;
    memset(m, 0, sizeof(*m));
    size_t s = 0;
    while (s < len && (buf[s] == '\r' || buf[s] == '\n'))
        s++;
    m->skip = s;
    if (s == len)
        return 0;
    if (buf[s] == '$') {
        if (len - s < RTSP_ILV_HEADER_SIZE)
            return 0;
        const uint8_t *p = reinterpret_cast<const uint8_t *>(buf + s);
        m->kind = RTSP_MSG_INTERLEAVED;
        m->channel = p[1];
        m->len = RTSP_ILV_HEADER_SIZE + (((size_t)p[2] << 8) | p[3]);
        return 1;
    }
    size_t skip2 = 0;
    ssize_t n = rtsp_frame_request(buf + s, len - s, max_request, &skip2);
    if (n < 0)
        return -1;
    if (n == 0)
        return 0;
    m->kind = RTSP_MSG_REQUEST;
    m->len = (size_t)n;
    return 1;
}

void rtsp_interleave_header(uint8_t out[RTSP_ILV_HEADER_SIZE], uint8_t channel, uint16_t len)
{
    out[0] = '$';
    out[1] = channel;
    out[2] = (uint8_t)(len >> 8);
    out[3] = (uint8_t)len;
}

int rtsp_transport_interleaved(const char *req, int *first, int *second)
{
    if (!req || !first || !second)
        return -1;
    /* Only within the Transport header line. */
    const char *t = req;
    const char *line = nullptr;
    while ((t = strchr(t, '\n')) != nullptr) {
        t++;
        if (strncasecmp(t, "Transport:", 10) == 0) {
            line = t;
            break;
        }
    }
    if (!line)
        return 0;
    const char *end = strchr(line, '\n');
    size_t n = end ? (size_t)(end - line) : strlen(line);
    const char *p = static_cast<const char *>(memmem(line, n, "interleaved=", 12));
    if (!p)
        return 0;
    p += 12;
    if (*p < '0' || *p > '9')
        return -1;
    char *e = nullptr;
    long a = strtol(p, &e, 10);
    /* strtol saturates at LONG_MAX: range-check before taking a + 1. */
    if (a > 255)
        return -1;
    long b = a + 1;
    if (*e == '-') {
        const char *q = e + 1;
        if (*q < '0' || *q > '9')
            return -1;
        b = strtol(q, &e, 10);
    }
    if (a < 0 || a > 255 || b <= a || b > 255)
        return -1;
    *first = (int)a;
    *second = (int)b;
    return 1;
}

}  // extern "C"
