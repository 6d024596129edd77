/*
 * rtsp_rtcp.cpp - RTCP packets of the RTP streams.  Pure: no socket,
 * thread or clock.
 */
#include "rtsp_rtcp.h"

#include <cstring>

namespace {

/* Seconds from 1900-01-01 to 1970-01-01. */
constexpr uint64_t kNtpUnixOffset = 2208988800ull;

void put16(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

uint32_t get32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

/* Common header: V=2, P=0, count, type, length in 32-bit words minus one. */
void header(uint8_t *p, int count, int pt, size_t bytes)
{
    p[0] = (uint8_t)(0x80 | (count & 0x1f));
    p[1] = (uint8_t)pt;
    put16(p + 2, (uint32_t)(bytes / 4 - 1));
}

/* SDES with one chunk: ssrc, CNAME item, end, padding to 32 bits. */
int write_sdes(uint8_t *out, size_t size, uint32_t ssrc, const char *cname)
{
    size_t clen = cname ? strlen(cname) : 0;
    if (clen > 255)
        return -1;
    size_t bytes = (4 + 4 + 2 + clen + 1 + 3) & ~(size_t)3;
    if (bytes > size)
        return -1;
    memset(out, 0, bytes);
    header(out, 1, RTCP_PT_SDES, bytes);
    put32(out + 4, ssrc);
    out[8] = 1;   /* CNAME */
    out[9] = (uint8_t)clen;
    if (clen)
        memcpy(out + 10, cname, clen);
    return (int)bytes;
}

}  // namespace

extern "C" {

uint64_t rtcp_ntp_from_ms(uint64_t ms)
{
    uint64_t sec = ms / 1000 + kNtpUnixOffset;
    uint64_t frac = ((ms % 1000) << 32) / 1000;
    return (sec << 32) | frac;
}

int rtcp_write_sr(uint8_t *out, size_t size, const rtcp_sender_info *si, const char *cname)
{
    if (!out || !si || size < 28)
        return -1;
    header(out, 0, RTCP_PT_SR, 28);
    put32(out + 4, si->ssrc);
    put32(out + 8, (uint32_t)(si->ntp >> 32));
    put32(out + 12, (uint32_t)si->ntp);
    put32(out + 16, si->rtp_ts);
    put32(out + 20, si->packets);
    put32(out + 24, si->octets);
    int s = write_sdes(out + 28, size - 28, si->ssrc, cname);
    return s < 0 ? -1 : 28 + s;
}

int rtcp_write_bye(uint8_t *out, size_t size, uint32_t ssrc, const char *cname)
{
    if (!out || size < 8)
        return -1;
    header(out, 0, RTCP_PT_RR, 8);
    put32(out + 4, ssrc);
    int s = write_sdes(out + 8, size - 8, ssrc, cname);
    if (s < 0 || (size_t)(8 + s + 8) > size)
        return -1;
    uint8_t *b = out + 8 + s;
    header(b, 1, RTCP_PT_BYE, 8);
    put32(b + 4, ssrc);
    return 8 + s + 8;
}

int rtcp_parse(const uint8_t *p, size_t n, rtcp_summary *sum)
{
    if (!p || !sum || n < 8)
        return 0;
    memset(sum, 0, sizeof(*sum));
    /* First packet: version 2, no padding, SR or RR. */
    if ((p[0] & 0xe0) != 0x80 || (p[1] != RTCP_PT_SR && p[1] != RTCP_PT_RR))
        return 0;
    sum->sender_ssrc = get32(p + 4);
    size_t off = 0;
    while (off < n) {
        if (n - off < 4 || (p[off] >> 6) != 2)
            return 0;
        size_t len = ((size_t)((p[off + 2] << 8) | p[off + 3]) + 1) * 4;
        if (len > n - off)
            return 0;
        int count = p[off] & 0x1f;
        switch (p[off + 1]) {
        case RTCP_PT_SR:
            if (len < 28 + (size_t)count * 24)
                return 0;
            sum->sr++;
            sum->report_blocks += count;
            break;
        case RTCP_PT_RR:
            if (len < 8 + (size_t)count * 24)
                return 0;
            sum->rr++;
            sum->report_blocks += count;
            break;
        case RTCP_PT_BYE:
            sum->bye++;
            break;
        default:
            break;
        }
        off += len;
    }
    return 1;
}

}  // extern "C"
