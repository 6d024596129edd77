/*
 * rtsp_rtcp.h - RTCP packets (RFC 3550 section 6) of the RTP streams.
 *
 * Pure functions: the compound packets the server sends (a sender report
 * with the stream's CNAME; a goodbye), and the check of a compound packet
 * a client sends (its receiver reports).
 */
#ifndef RTSP_RTCP_H
#define RTSP_RTCP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define RTCP_PT_SR 200
#define RTCP_PT_RR 201
#define RTCP_PT_SDES 202
#define RTCP_PT_BYE 203

/* Room for any compound packet written here. */
#define RTCP_MAX_SIZE 128

/* What a sender report says about one stream. */
typedef struct rtcp_sender_info {
    uint32_t ssrc;
    uint64_t ntp;           /* NTP time, 32.32 fixed point */
    uint32_t rtp_ts;        /* the same instant on the stream's RTP clock */
    uint32_t packets;       /* packets sent so far */
    uint32_t octets;        /* payload octets sent so far */
} rtcp_sender_info;

/* NTP time (seconds since 1900, 32.32) of a capture time in ms of the
 * Unix epoch. */
uint64_t rtcp_ntp_from_ms(uint64_t ms);

/* SR (no report blocks) + SDES with the CNAME (at most 255 bytes).
 * Returns the length written, or -1 when out is too small. */
int rtcp_write_sr(uint8_t *out, size_t size, const rtcp_sender_info *si, const char *cname);

/* Empty RR + SDES CNAME + BYE of ssrc; length or -1. */
int rtcp_write_bye(uint8_t *out, size_t size, uint32_t ssrc, const char *cname);

/* What a received compound packet holds. */
typedef struct rtcp_summary {
    uint32_t sender_ssrc;   /* SSRC of its first (SR or RR) packet */
    int sr;                 /* SR packets */
    int rr;                 /* RR packets */
    int report_blocks;      /* report blocks in SRs and RRs */
    int bye;                /* BYE packets */
} rtcp_summary;

/*
 * Checks a compound RTCP packet as RFC 3550 A.2 does: version 2, the first
 * packet an SR or RR without padding, and the packets' lengths adding up
 * to n exactly.  1 with *sum filled, 0 when it is not valid RTCP.
 */
int rtcp_parse(const uint8_t *p, size_t n, rtcp_summary *sum);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_RTCP_H */
