/*
 * dovu_rtsp.h - RTSP server of the streaming library.
 *
 * The library's entry points dovu_start_rtsp/dovu_release_rtsp do nothing
 * but call rtsp_create/rtsp_destroy.  The records below are shared by the
 * server's modules: this one (server object, event loop, channels and
 * sessions), rtsp_request (request parsing and replies), rtsp_rtp (RTP
 * packetisation, pure) and rtsp_deliver (sending packets to sessions, the
 * video thread).
 *
 * THREADS
 *   - The library user's thread runs rtsp_create and rtsp_destroy.
 *   - The server thread ("rtsp_server") owns the listener, the epoll
 *     instance and every control connection.  It alone closes a control
 *     connection, and it alone frees sessions and channels (apart from
 *     rtsp_destroy, which does so after the server thread has ended).
 *   - Each channel with video runs one video thread ("rtsp_v_<n>") that
 *     pulls frames, sends RTP and retires sessions: it unlinks them from the
 *     channel's live list into the channel's graveyard and wakes the server
 *     thread, which then closes their connections and frees them.  So a
 *     session is never freed while the server thread works on it.
 *   - A channel whose audio track was set up runs one audio thread
 *     ("rtsp_a_<n>") that pulls AAC frames and sends them; it retires
 *     sessions only when the channel has no video thread.
 *
 * LOCKS (never nested, never held while calling out or logging)
 *   - rtsp_t.mutex_chn: linking/unlinking a channel.  The channel list is
 *     walked only by the server thread (and by rtsp_destroy after it ended).
 *   - rtsp_channel_t.mutex_session: the channel's live session list, its
 *     graveyard, and every field of a linked session that either thread may
 *     change (status, rtp_trans_type, tm_last_access, client_fd, wait_key,
 *     the UDP fields and the cached peer).  The delivery pass holds it only
 *     to copy what a send needs and to retire sessions, never while it
 *     sends: with a hundred players a frame's sends take milliseconds, and
 *     the server thread must not wait for them to answer a request.
 *   - A delivery pass counts itself in rtsp_channel_t.sends_in_flight
 *     (under mutex_session) from the moment it copies the descriptors it
 *     will send on until its sends are over.  A SETUP that replaced a
 *     session's UDP sockets waits on cond_sends (with mutex_session) until
 *     no pass is in flight before it closes the old ones: a pass that
 *     copied a descriptor never sends on a closed one, or on its number
 *     reused by another socket.  Passes that start after the swap copy the
 *     new descriptors.  Only a repeated SETUP waits, for at most one pass.
 */
#ifndef DOVU_RTSP_H
#define DOVU_RTSP_H

#include <pthread.h>
#include <stdint.h>

#include "dovu.h"
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct rtsp_t rtsp_t;

/* First server RTP port a SETUP tries; pairs are searched upwards in 2s. */
#define RTSP_RTP_PORT_BASE 10000
/* Interval of the RTCP sender reports, in ms of capture time. */
#define RTSP_RTCP_SR_MS 5000
/* A session without a request (or receiver report) for longer than this
 * is removed (seconds). */
#define RTSP_SESSION_IDLE_SEC 65
/* Receive buffer of a control connection, NUL included. */
#define RTSP_RECV_BUF_SIZE 3072
/* A connection that holds no session is closed after this long without a
 * complete request (milliseconds). */
#define RTSP_CONN_IDLE_MS 10000
/* Descriptors the server leaves free for the recorder and the encoders. */
#define RTSP_FD_RESERVE 64
/* Largest single NAL unit packet payload before FU-A is used. */
#define RTP_MAX_NAL_PAYLOAD 1400
#define RTP_PAYLOAD_BUF_SIZE 1420

typedef enum rtsp_status {
    RTSP_STATUS_DEFAULT = 0,
    RTSP_STATUS_OPTION = 1,
    RTSP_STATUS_DESCRIBE = 2,
    RTSP_STATUS_SETUP = 3,
    RTSP_STATUS_PLAY = 4,
    RTSP_STATUS_TEARDOWN = 5,
    RTSP_STATUS_ERROR = 6,
} rtsp_status;

typedef enum rtp_transport_protocol {
    TRANS_RTP_RESERVED = 0,
    TRANS_RTP_AVP = 1,
    TRANS_RTP_AVP_TCP = 2,
} rtp_transport_protocol;

typedef enum rtp_payload_type {
    PAYLOAD_RTP_RESERVED = 0,
    PAYLOAD_RTP_H264 = 96,
    PAYLOAD_RTP_AAC = 97,
} rtp_payload_type;

/*
 * RTP fixed header (RFC 3550 5.1) as the templates hold it; seq, ts and
 * ssrc in host byte order.  The wire form is built by rtp_header_serialize.
 *
 *   0                   1                   2                   3
 *   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
 *  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
 *  |V=2|P|X|  CC   |M|     PT      |       sequence number         |
 *  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
 *  |                           timestamp                           |
 *  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
 *  |                             SSRC                              |
 *  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
 */
typedef struct rtp_header {
    uint8_t csrc_count : 4;
    uint8_t extention : 1;
    uint8_t padding : 1;
    uint8_t rtp_version : 2;
    uint8_t payload_type : 7;
    uint8_t marker : 1;
    uint16_t seq;
    uint32_t ts;    /* 90 kHz */
    uint32_t ssrc;
} rtp_header;

typedef struct rtp_packet {
    rtp_header header;
    uint8_t payload[RTP_PAYLOAD_BUF_SIZE];
} rtp_packet;

struct rtsp_tcp_out;

typedef struct session_t {
    int32_t client_fd;               /* control connection; -1 once closed */
    rtsp_status status;
    rtp_transport_protocol rtp_trans_type;
    int32_t session_id;
    uint64_t tm_last_access;         /* wall clock, seconds */
    int32_t video_rtp_udp_fd;        /* 0 when none */
    int32_t video_rtcp_udp_fd;
    int32_t audio_rtp_udp_fd;
    int32_t audio_rtcp_udp_fd;
    int32_t video_rtp_port;          /* server side; RTCP is one higher */
    int32_t audio_rtp_port;
    int32_t client_video_rtp_port;
    int32_t client_audio_rtp_port;
    /* The address (network byte order) each RTP socket was connected to at
     * SETUP, with its client port; 0: not connected.  Set with the
     * descriptor, under mutex_session. */
    uint32_t video_rtp_dest;
    uint32_t audio_rtp_dest;
    uint8_t wait_key;                /* no video until a key frame starts */
    /* Peer address of the control connection, looked up once by the
     * delivery pass (under mutex_session) and kept while client_fd stays
     * the descriptor it was taken from. */
    uint32_t peer_ip;                /* network byte order */
    int32_t peer_fd;                 /* client_fd peer_ip belongs to; 0: none */
    uint8_t peer_err_logged;         /* lookup failure already logged */
    /* RTP over the control connection (rtp_trans_type TRANS_RTP_AVP_TCP):
     * the connection's send queue (one reference held), and the RTP
     * channel of each medium set up (RTCP on the next one). */
    struct rtsp_tcp_out *tcp_out;
    uint8_t ilv_video;
    uint8_t ilv_audio;
    uint8_t ilv_mask;                /* RTSP_ILV_VIDEO | RTSP_ILV_AUDIO */
    struct list_head list;           /* in list_head_session or graveyard */
} session_t;

#define RTSP_ILV_VIDEO 1
#define RTSP_ILV_AUDIO 2

typedef struct rtsp_channel_t {
    uint8_t is_running;              /* video thread in its loop (atomic) */
    uint8_t quit;                    /* asks the video thread to leave (atomic) */
    char chn_name[100];
    void *src;
    void *src_vhandle;
    void *src_ahandle;
    audio_info audio_info;
    video_info video_info;
    rtp_packet video_rtp_pkt;        /* video thread only, after creation */
    rtp_packet audio_rtp_pkt;
    uint64_t v_ts;                   /* ms of the last packetised frame */
    uint8_t v_ts_set;                /* v_ts holds a frame's time stamp */
    uint64_t a_ts;
    int32_t count_session;
    pthread_t video_th;
    uint8_t has_video_th;
    pthread_t audio_th;
    uint8_t has_audio_th;
    /* RTCP sender state of each stream, written by its medium's thread
     * only: packets and payload octets sent, capture ms of the last SR. */
    uint32_t v_packets, v_octets, a_packets, a_octets;
    uint64_t v_sr_ms, a_sr_ms;
    uint8_t v_sr_set, a_sr_set;
    /* Set (atomic) by a PLAY: each stream sends its next report at once,
     * so a new player can sync sound and picture from the start. */
    uint8_t v_sr_now, a_sr_now;
    /* Video bytes per second of capture time, measured by the video thread
     * over windows of a second (rate_bps atomic: the audio thread reads
     * it); it sizes the TCP send queues to about a second of media. */
    uint64_t rate_win_ms;
    uint64_t rate_win_bytes;
    uint32_t rate_bps;
    uint64_t a_first_ms;             /* audio thread: capture ms of RTP time 0 */
    uint8_t a_first_set;
    char src_name[30];               /* the source and channel parts of the name */
    char src_chn[50];
    rtsp_t *rtsp;                    /* owner, for waking the server thread */
    pthread_mutex_t mutex_session;
    void *key_cache;                 /* rtsp_key_cache: video thread only */
    int32_t sends_in_flight;         /* delivery passes between copy and end of sends */
    pthread_cond_t cond_sends;       /* signalled when sends_in_flight drops to 0 */
    struct list_head list;           /* in rtsp_t.list_head_chn */
    struct list_head list_head_session;   /* guarded by mutex_session */
    struct list_head list_head_dead;      /* guarded by mutex_session */
} rtsp_channel_t;

struct rtsp_t {
    uint8_t is_running;              /* atomic */
    pthread_t main_th;
    int32_t chns_cnt;
    int32_t port;                    /* TCP listener */
    int32_t max_idle_tm;             /* seconds; kept only */
    int32_t rtp_port_base;           /* first server RTP port of a SETUP */
    int wake_fd;                     /* eventfd; video threads poke it */
    uint8_t listening;               /* listener bound (atomic) */
    void *conns;                     /* server thread's connection table */
    /* Limits of the server thread, set before it starts (tests lower them). */
    int32_t max_conns;               /* open control connections, at most */
    int32_t conn_idle_ms;            /* sessionless connection idle limit */
    int32_t fd_reserve;              /* descriptors left to the process */
    void *auth;                      /* rtsp_auth: Digest users, or null (server thread) */
    pthread_mutex_t mutex_chn;
    struct list_head list_head_chn;
};

/* Reads the "RTSP" settings through conf_handle, starts the server thread
 * and returns the server object, or null. */
rtsp_t *rtsp_create(int32_t conf_handle);

/* As rtsp_create, with the TCP port given (0: the configured default). */
rtsp_t *rtsp_create_on_port(int32_t conf_handle, int32_t port);

/* Stops the server thread and waits for it, detaches every remaining
 * channel and frees the object; ignores null. */
void rtsp_destroy(rtsp_t *rtsp);

void *rtsp_main(void *arg);

rtsp_channel_t *rtsp_find_channel(rtsp_t *rtsp, const char *chn_name);
rtsp_channel_t *rtsp_add_channel(rtsp_t *rtsp, const char *s_chn_name);
void rtsp_detach_channel(rtsp_t *rtsp, rtsp_channel_t *p_chn);

/* Server thread: the send queue of connection fd, or null when fd is not
 * one of its connections.  No reference is added. */
struct rtsp_tcp_out *rtsp_conn_out(rtsp_t *rtsp, int fd);

/* Server thread: starts the channel's audio at the source and its audio
 * thread, once (the first SETUP of the audio track).  1 when audio runs,
 * 0 when the source has none. */
int rtsp_channel_start_audio(rtsp_channel_t *p_chn);

/* Whether the channel's source describes an audio stream that can be
 * streamed (AAC). */
int rtsp_channel_has_audio(const rtsp_channel_t *p_chn);

session_t *rtsp_channel_add_session(rtsp_channel_t *p_chn, int cfd);
session_t *rtsp_find_session(rtsp_channel_t *channel, int cfd);
/* Unlinks the session from the channel's live list and hands it to the
 * server thread, which closes its descriptors and frees it. */
void rtsp_detach_session(rtsp_channel_t *p_chn, session_t *ses);

/* Server thread (or after it ended): frees the channel's retired sessions,
 * closing their connections and UDP sockets. */
void rtsp_reap_sessions(rtsp_t *rtsp, rtsp_channel_t *p_chn);

/* Session field access under the channel's mutex_session. */
rtsp_status rtsp_session_get_status(rtsp_channel_t *p_chn, session_t *ses);
void rtsp_session_set_status(rtsp_channel_t *p_chn, session_t *ses, rtsp_status st);

/* Initialises a channel record that was zero-filled (lists, mutex, RTP
 * templates).  Used by rtsp_add_channel and by tests that build a channel
 * without a source. */
void rtsp_channel_init(rtsp_channel_t *p_chn, rtsp_t *rtsp, const char *name);

uint64_t rtsp_now_sec(void);

/* Test seams over the real connection read path, for a server object
 * whose thread is not running: adopts fd as a control connection, and
 * handles one epoll event set for it.  rtsp__conn_event returns 1 while
 * the connection stays open.  rtsp__conns_close closes every adopted
 * connection and frees the table. */
int rtsp__conn_open(rtsp_t *rtsp, int fd);
int rtsp__conn_event(rtsp_t *rtsp, int fd, uint32_t events);
void rtsp__conns_close(rtsp_t *rtsp);

/* Test seam: the monotonic millisecond clock of the server thread's
 * limits (idle connections, log budgets); null restores the real one. */
typedef uint64_t (*rtsp_clock_fn)(void);
void rtsp__set_clock(rtsp_clock_fn fn);
uint64_t rtsp_mono_ms(void);

/* Test seam: the function that starts the server and video threads
 * (pthread_create unless replaced; null restores it). */
typedef int (*rtsp_thread_create_fn)(pthread_t *th, const pthread_attr_t *attr,
                                     void *(*body)(void *), void *arg);
void rtsp__set_thread_create(rtsp_thread_create_fn fn);

#ifdef __cplusplus
}
#endif

#endif /* DOVU_RTSP_H */
