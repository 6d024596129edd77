/*
 * rtsp_interleave.h - RTP and RTCP carried on the RTSP connection
 * (RFC 2326 10.12): '$', a one-byte channel, a 16-bit length in network
 * byte order, then the packet.
 *
 * Pure functions: the message framer that tells requests and interleaved
 * packets apart in a connection's bytes, the frame header writer, and the
 * parser of a Transport header's interleaved channels.
 */
#ifndef RTSP_INTERLEAVE_H
#define RTSP_INTERLEAVE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Header of an interleaved packet. */
#define RTSP_ILV_HEADER_SIZE 4

typedef enum rtsp_msg_kind {
    RTSP_MSG_REQUEST = 1,       /* an RTSP request (or reply) */
    RTSP_MSG_INTERLEAVED = 2,   /* a '$' framed packet */
} rtsp_msg_kind;

/* One message found at the head of a connection's pending bytes. */
typedef struct rtsp_msg {
    rtsp_msg_kind kind;
    size_t skip;        /* CR/LF bytes before it (keep-alives) */
    size_t len;         /* its bytes after the skip, header included; for an
                           interleaved packet possibly more than buffered */
    uint8_t channel;    /* interleaved packets only */
} rtsp_msg;

/*
 * Finds the message that starts the pending bytes buf[0..len).
 * 1: *m describes it.  A request is complete (rtsp_frame_request's rules);
 * an interleaved packet is reported once its 4-byte header is there, and
 * its m->len may exceed len (the caller waits for the rest, or discards a
 * packet larger than it can hold).  0: more bytes are needed (m->skip
 * still counts the leading CR/LF).  -1: a malformed or oversized request.
 */
int rtsp_next_message(const char *buf, size_t len, size_t max_request, rtsp_msg *m);

/* Writes the header of an interleaved packet of len bytes on channel. */
void rtsp_interleave_header(uint8_t out[RTSP_ILV_HEADER_SIZE], uint8_t channel, uint16_t len);

/*
 * The channels of "interleaved=a" or "interleaved=a-b" in a request's
 * Transport header.  1 with *first and *second set (second = first + 1
 * when only one is given), 0 when there is no such parameter, -1 when it
 * is malformed (a channel above 255, or second not above first).
 */
int rtsp_transport_interleaved(const char *req, int *first, int *second);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_INTERLEAVE_H */
