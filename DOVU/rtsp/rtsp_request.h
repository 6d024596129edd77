/*
 * rtsp_request.h - RTSP request framing, parsing and replies.
 *
 * The server thread cuts the bytes of a control connection into requests
 * with rtsp_frame_request and hands each complete request to
 * rtsp_handle_packet, which answers OPTIONS, DESCRIBE, SETUP, PLAY and
 * TEARDOWN on the request's connection and moves the session's status.
 * Everything here runs on the server thread; the parsing functions are pure.
 */
#ifndef RTSP_REQUEST_H
#define RTSP_REQUEST_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "dovu_rtsp.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum uri_item {
    RTSP_METHOD = 0,
    RTSP_CSEQ = 1,
    RTSP_PATH = 2,
    RTSP_SRC = 3,
    RTSP_SRC_CHN = 4,
    RTSP_INTERLEAVED = 5,
    RTSP_RTP_TRANSPORT = 6,
    RTSP_RTP_PORT = 7,
    RTSP_TRACK_ID = 8,
    RESERVED = 9,
} uri_item;

/* Copies the first line of buf (at most line_size - 2 characters, then '\n'
 * and NUL) into pline; returns the text after that line's '\n', or null
 * when buf has no '\n' or an argument is null or zero. */
const char *get_line_from_buf(const char *buf, char *pline, size_t line_size);

/* Extracts item from the request text into s_value (value_size bytes).
 * Returns the value's length; 0 when absent or too long for s_value (which
 * is then left as it was); -1 for bad arguments or an unparsable request
 * line. */
int rtsp_get_value_from_req(const char *req, uri_item item, char *s_value, size_t value_size);

/* "H264" for 96, "AAC" for 97, null otherwise. */
const char *rtp_type_string(int type);

/*
 * Request framing over a connection's pending bytes buf[0..len).
 * Leading CR/LF bytes (keep-alives between requests) are counted in *skip.
 * Returns the length of the complete request that starts at buf + *skip
 * (header block up to and including the blank line, plus a body of
 * Content-Length bytes), 0 when more bytes are needed, -1 when the request
 * is malformed (bad Content-Length) or cannot fit in max_len bytes.
 */
ssize_t rtsp_frame_request(const char *buf, size_t len, size_t max_len, size_t *skip);

/* Writes the session description of a channel for the connection cfd into
 * out (size bytes): the video medium when has_video, then an audio medium
 * (AAC, RFC 3640) when audio describes AAC; returns its length, or -1 if
 * it does not fit. */
int rtsp_compose_sdp(char *out, size_t size, int cfd, int has_video, int payload_type,
                     const audio_info *audio);

/* Answers one request (NUL-terminated, buf_len bytes) from connection cfd.
 * 0 when handled (unknown methods included), -1 for bad arguments, after a
 * 404, 461 or 503 reply, and when writing the reply failed.  Replies go
 * through the connection's send queue (rtsp_conn_out) when it has one and
 * no test replaced the reply function. */
int rtsp_handle_packet(rtsp_t *rtsp, int cfd, const char *buf, int buf_len);

/* A packet the client sent interleaved on connection cfd (its RTCP): a
 * valid RTCP compound on the RTCP channel of a session on cfd keeps that
 * session alive like a request.  Other packets are ignored. */
void rtsp_handle_interleaved(rtsp_t *rtsp, int cfd, uint8_t channel, const uint8_t *data,
                             size_t len);

/* Whether the handler's own log lines for the next requests go out (1,
 * the default); the server thread clears it for a connection that used up
 * its budget of log lines. */
void rtsp_request_set_verbose(int on);

/* The function replies are written with; send(2) with MSG_NOSIGNAL unless
 * replaced (tests capture replies with it).  Null restores the default. */
typedef ssize_t (*rtsp_reply_fn)(int fd, const void *buf, size_t len);
void rtsp_set_reply_fn(rtsp_reply_fn fn);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_REQUEST_H */
