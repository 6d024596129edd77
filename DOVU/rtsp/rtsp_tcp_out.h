/*
 * rtsp_tcp_out.h - the send queue of an RTSP connection.
 *
 * Everything written to a connection goes through its queue: the replies
 * of the server thread and, once a session on it plays over TCP, the
 * interleaved RTP and RTCP packets of the channel's video and audio
 * threads.  A writer sends at once when nothing is queued and the socket
 * takes it; what the socket does not take waits in the queue, which the
 * server thread drains when the socket becomes writable again (the queue
 * asks the server's epoll for that while it holds bytes).  Nobody
 * ever waits on the socket.
 *
 * The queue holds at most about a second of media.  A video frame that
 * does not fit is dropped whole, and so is every video frame after it up
 * to the next key frame, so a player that reads too slowly skips to a
 * picture it can decode.  Replies are never dropped.
 *
 * Shared by the server thread (which owns the connection) and the media
 * threads of the sessions on it, so it is reference counted: the
 * connection holds one reference, each session on it one, and a delivery
 * pass one while it writes.  The server thread marks the queue closed
 * before it closes the descriptor; from then on nothing writes to it.
 */
#ifndef RTSP_TCP_OUT_H
#define RTSP_TCP_OUT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct rtsp_tcp_out rtsp_tcp_out;

/* Default bound on queued media bytes: about a second of the main stream
 * with its audio. */
#define RTSP_TCP_OUT_LIMIT (320 * 1024)

/* A queue for connection fd with one reference; null without memory.
 * While bytes wait, the queue adds EPOLLOUT to fd's registration in epfd
 * (events: the registration's other events), and takes it off once they
 * went; epfd -1: the owner flushes by itself. */
rtsp_tcp_out *rtsp_tcp_out_new(int fd, size_t media_limit, int epfd, uint32_t events);
void rtsp_tcp_out_ref(rtsp_tcp_out *o);
/* Drops one reference; the last one frees the queue. */
void rtsp_tcp_out_unref(rtsp_tcp_out *o);
/* The connection is closing: nothing is written to fd any more. */
void rtsp_tcp_out_close(rtsp_tcp_out *o);

/* Queues (or sends) len bytes of a reply; never dropped.  0, or -1 when
 * the connection is closed or failed. */
int rtsp_tcp_out_reply(rtsp_tcp_out *o, const void *buf, size_t len);

/* A run of RTP or RTCP packets laid out back to back in buf, packet i
 * being lens[i] bytes; each goes framed on channel. */
typedef struct rtsp_ilv_run {
    const uint8_t *buf;
    const uint16_t *lens;
    int count;
    uint8_t channel;
} rtsp_ilv_run;

/* How a run belongs to a video frame, for the drop policy. */
typedef enum rtsp_media_part {
    RTSP_MEDIA_OTHER = 0,        /* audio or RTCP: dropped alone if it does not fit */
    RTSP_MEDIA_FRAME_START = 1,  /* the first run of a video frame */
    RTSP_MEDIA_FRAME_MORE = 2,   /* a later run of the same frame: goes with its start */
} rtsp_media_part;

/*
 * Queues (or sends) a run of media.  frame_bytes is the whole frame's size
 * for a FRAME_START run (the decision covers the frame), key says it is a
 * key frame, limit bounds the queued media bytes (0: the queue's own
 * bound; the sender passes about a second of its stream).  1 when queued
 * or sent, 0 when dropped by the policy, -1 when the connection is closed
 * or failed.
 */
int rtsp_tcp_out_media(rtsp_tcp_out *o, const rtsp_ilv_run *run, rtsp_media_part part,
                       size_t frame_bytes, int key, size_t limit);

/* 1 once for each time the queue began dropping video (the reader fell
 * behind), else 0: for a log line per such episode. */
int rtsp_tcp_out_take_episode(rtsp_tcp_out *o);

/* Server thread, when the socket became writable: sends what is queued.
 * 0, or -1 when the connection failed. */
int rtsp_tcp_out_flush(rtsp_tcp_out *o);

/* Counters, for logs and tests. */
typedef struct rtsp_tcp_out_stats {
    size_t queued;              /* bytes waiting */
    uint64_t frames_dropped;    /* video frames dropped by the policy */
    uint64_t runs_dropped;      /* other runs dropped */
} rtsp_tcp_out_stats;
void rtsp_tcp_out_get_stats(rtsp_tcp_out *o, rtsp_tcp_out_stats *st);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_TCP_OUT_H */
