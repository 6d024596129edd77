/*
 * rtsp_request.cpp - RTSP request framing, parsing, replies and the session
 * description.
 *
 * Runs on the server thread only.  Sessions it works on cannot be freed
 * under it: the video threads only retire sessions to the channel's
 * graveyard, and the server thread frees them between requests.  Session
 * fields that the video thread also reads or writes are changed under the
 * channel's mutex_session.
 */
#include "rtsp_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ll_log.h"
#include "ll_lock.h"
#include "rtsp_auth.h"
#include "rtsp_guard.h"
#include "rtsp_interleave.h"
#include "rtsp_rtcp.h"
#include "rtsp_rtp_aac.h"
#include "rtsp_tcp_out.h"

namespace {

/* Limits of the request-line tokens, NUL included. */
constexpr size_t kLineSize = 100;
constexpr size_t kMethodSize = 20;
constexpr size_t kUrlSize = 50;
constexpr size_t kVersionSize = 10;
constexpr size_t kHeaderValueSize = 50;
constexpr size_t kReplySize = 1024;
constexpr size_t kSdpSize = 512;
/* Kernel send buffer of a connection that carries media (doubled by the
 * kernel). */
constexpr int kTcpSndBuf = 64 * 1024;

ssize_t default_reply(int fd, const void *buf, size_t len)
{
    return send(fd, buf, len, MSG_NOSIGNAL);
}

rtsp_reply_fn g_reply = default_reply;   /* set by tests before use */
bool g_verbose = true;                    /* server thread only */

struct request_line {
    char method[kMethodSize];
    char url[kUrlSize];
    char version[kVersionSize];
};

/* Reads one whitespace-delimited token of at most size-1 characters.
 * Returns false when there is none or it is too long. */
bool read_token(const char **pp, char *out, size_t size)
{
    const char *p = *pp;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        p++;
    size_t n = 0;
    while (p[n] && p[n] != ' ' && p[n] != '\t' && p[n] != '\r' && p[n] != '\n')
        n++;
    if (n == 0 || n + 1 > size)
        return false;
    memcpy(out, p, n);
    out[n] = '\0';
    *pp = p + n;
    return true;
}

bool parse_request_line(const char *req, request_line *rl)
{
    char line[kLineSize];
    if (!get_line_from_buf(req, line, sizeof(line)))
        return false;
    const char *p = line;
    return read_token(&p, rl->method, sizeof(rl->method)) &&
           read_token(&p, rl->url, sizeof(rl->url)) &&
           read_token(&p, rl->version, sizeof(rl->version));
}

/* Value of the first header line after the request line that contains
 * "CSeq", if that line starts with "CSeq: ". */
bool find_cseq(const char *req, char *out, size_t size)
{
    const char *line = strchr(req, '\n');
    while (line && *++line) {
        const char *end = strchr(line, '\n');
        size_t len = end ? (size_t)(end - line) : strlen(line);
        const char *hit = static_cast<const char *>(memmem(line, len, "CSeq", 4));
        if (hit) {
            if (strncmp(line, "CSeq: ", 6) != 0)
                return false;
            const char *p = line + 6;
            size_t n = 0;
            while (n < len - 6 && p[n] != ' ' && p[n] != '\t' && p[n] != '\r')
                n++;
            if (n == 0 || n + 1 > size)
                return false;
            memcpy(out, p, n);
            out[n] = '\0';
            return true;
        }
        line = end;
    }
    return false;
}

/* The request path of a URL: after "rtsp://" and the next '/', cut at
 * the first "/track".  May be empty. */
bool url_path(const char *url, char *out, size_t size)
{
    const char *p = strstr(url, "rtsp://");
    if (!p)
        return false;
    p = strchr(p + 7, '/');
    if (!p)
        return false;
    p++;
    const char *cut = strstr(p, "/track");
    size_t n = cut ? (size_t)(cut - p) : strlen(p);
    if (n + 1 > size)
        return false;
    memcpy(out, p, n);
    out[n] = '\0';
    return true;
}

int copy_value(const char *value, size_t n, char *s_value, size_t value_size)
{
    if (n + 1 > value_size)
        return 0;
    memcpy(s_value, value, n);
    s_value[n] = '\0';
    return (int)n;
}

}  // namespace

extern "C" {

void rtsp_request_set_verbose(int on)
{
    g_verbose = on != 0;
}

void rtsp_set_reply_fn(rtsp_reply_fn fn)
{
    g_reply = fn ? fn : default_reply;
}

const char *get_line_from_buf(const char *buf, char *pline, size_t line_size)
{
    if (!buf || !pline || line_size < 2)
        return nullptr;
    const char *nl = strchr(buf, '\n');
    if (!nl)
        return nullptr;
    size_t n = (size_t)(nl - buf);
    if (n > line_size - 2)
        n = line_size - 2;
    memcpy(pline, buf, n);
    pline[n] = '\n';
    pline[n + 1] = '\0';
    return nl + 1;
}

int rtsp_get_value_from_req(const char *req, uri_item item, char *s_value, size_t value_size)
{
    if (!req || !*req || !s_value || value_size == 0)
        return -1;
    request_line rl;
    if (!parse_request_line(req, &rl))
        return -1;

    char tmp[kHeaderValueSize * 2];
    switch (item) {
    case RTSP_METHOD:
        return copy_value(rl.method, strlen(rl.method), s_value, value_size);
    case RTSP_CSEQ:
        if (!find_cseq(req, tmp, kHeaderValueSize))
            return 0;
        return copy_value(tmp, strlen(tmp), s_value, value_size);
    case RTSP_PATH:
        if (!url_path(rl.url, tmp, sizeof(tmp)))
            return 0;
        return copy_value(tmp, strlen(tmp), s_value, value_size);
    case RTSP_SRC:
    case RTSP_SRC_CHN: {
        if (!url_path(rl.url, tmp, sizeof(tmp)))
            return 0;
        const char *slash = strchr(tmp, '/');
        if (item == RTSP_SRC)
            return copy_value(tmp, slash ? (size_t)(slash - tmp) : strlen(tmp), s_value,
                              value_size);
        if (!slash)
            return 0;
        return copy_value(slash + 1, strlen(slash + 1), s_value, value_size);
    }
    case RTSP_TRACK_ID: {
        const char *t = strstr(rl.url, "track");
        if (!t)
            return 0;
        return copy_value(t, strlen(t), s_value, value_size);
    }
    case RTSP_INTERLEAVED:       /* see rtsp_transport_interleaved */
    case RTSP_RTP_TRANSPORT:
    case RTSP_RTP_PORT:
    case RESERVED:
    default:
        return 0;
    }
}

const char *rtp_type_string(int type)
{
    switch (type) {
    case PAYLOAD_RTP_H264:
        return "H264";
    case PAYLOAD_RTP_AAC:
        return "AAC";
    default:
        return nullptr;
    }
}

ssize_t rtsp_frame_request(const char *buf, size_t len, size_t max_len, size_t *skip)
{
    size_t s = 0;
    while (s < len && (buf[s] == '\r' || buf[s] == '\n'))
        s++;
    if (skip)
        *skip = s;
    const char *p = buf + s;
    size_t n = len - s;

    /* End of the header block: the first empty line. */
    size_t hdr = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] != '\n')
            continue;
        if (i + 1 < n && p[i + 1] == '\n') {
            hdr = i + 2;
            break;
        }
        if (i + 2 < n && p[i + 1] == '\r' && p[i + 2] == '\n') {
            hdr = i + 3;
            break;
        }
    }
    if (hdr == 0)
        return n >= max_len ? -1 : 0;

    /* Content-Length, case-insensitive, at the start of a header line. */
    size_t body = 0;
    for (size_t i = 0; i < hdr; i++) {
        if (i != 0 && p[i - 1] != '\n')
            continue;
        static const char kName[] = "content-length:";
        if (hdr - i < sizeof(kName) - 1 || strncasecmp(p + i, kName, sizeof(kName) - 1) != 0)
            continue;
        size_t j = i + sizeof(kName) - 1;
        while (j < hdr && (p[j] == ' ' || p[j] == '\t'))
            j++;
        if (j >= hdr || p[j] < '0' || p[j] > '9')
            return -1;
        while (j < hdr && p[j] >= '0' && p[j] <= '9') {
            body = body * 10 + (size_t)(p[j] - '0');
            if (body > max_len)
                return -1;
            j++;
        }
        break;
    }
    size_t total = hdr + body;
    if (total > max_len)
        return -1;
    return n >= total ? (ssize_t)total : 0;
}

int rtsp_compose_sdp(char *out, size_t size, int cfd, int has_video, int payload_type,
                     const audio_info *audio)
{
    int n = snprintf(out, size, "v=0\r\no=DOVU %d 1 IN IP4 0.0.0.0\r\nt=0 0\r\na=control:*\r\n",
                     cfd);
    if (n < 0 || (size_t)n >= size)
        return -1;
    if (has_video) {
        const char *name = rtp_type_string(payload_type);
        int m = snprintf(out + n, size - (size_t)n,
                         "m=video 0 RTP/AVP %d\r\na=control:track0\r\na=rtpmap:%d %s/90000\r\n",
                         payload_type, payload_type, name ? name : "");
        if (m < 0 || (size_t)m >= size - (size_t)n)
            return -1;
        n += m;
    }
    int config = audio && audio->type == AUDIO_TYPE_AAC
                     ? rtp_aac_config(audio->sample_rate, audio->channel)
                     : -1;
    if (config >= 0) {
        int m = snprintf(out + n, size - (size_t)n,
                         "m=audio 0 RTP/AVP %d\r\na=control:track1\r\n"
                         "a=rtpmap:%d mpeg4-generic/%d/%d\r\n"
                         "a=fmtp:%d streamtype=5;profile-level-id=15;mode=AAC-hbr;config=%04x;"
                         "sizelength=13;indexlength=3;indexdeltalength=3\r\n",
                         PAYLOAD_RTP_AAC, PAYLOAD_RTP_AAC, audio->sample_rate, audio->channel,
                         PAYLOAD_RTP_AAC, config);
        if (m < 0 || (size_t)m >= size - (size_t)n)
            return -1;
        n += m;
    }
    return n;
}

}  // extern "C"

/* ---- request handling ------------------------------------------------ */

namespace {

struct request_ctx {
    rtsp_t *rtsp;
    int cfd;
    bool may_create;          /* the request may start a channel and a session */
    char cseq[10];
    char path[100];
    rtsp_channel_t *chn;
    session_t *ses;
};

/* Lines of the handler's steps carry the handler's name; the debug lines
 * go out while the connection's budget of log lines allows (g_verbose). */
constexpr char kHandler[] = "rtsp_handle_packet";

/* Writes a reply; false after logging when the write failed, and the
 * session (if any) is then in RTSP_STATUS_ERROR. */
bool write_reply(request_ctx *rq, const char *reply, size_t len)
{
    rtsp_tcp_out *out = g_reply == default_reply ? rtsp_conn_out(rq->rtsp, rq->cfd) : nullptr;
    ssize_t r = out ? (rtsp_tcp_out_reply(out, reply, len) == 0 ? (ssize_t)len : -1)
                    : g_reply(rq->cfd, reply, len);
    if (r >= 0)
        return true;
    if (g_verbose)
        LL_LOG(LOG_LEVEL_WARNING, kHandler, "Reply failed to fd %d\n", rq->cfd);
    if (rq->ses)
        rtsp_session_set_status(rq->chn, rq->ses, RTSP_STATUS_ERROR);
    return false;
}

/* 404/461/503 replies: they end the request with -1. */
int reply_status(request_ctx *rq, const char *fmt)
{
    char reply[kReplySize];
    int n = snprintf(reply, sizeof(reply), fmt, rq->cseq);
    if (!write_reply(rq, reply, (size_t)n))
        return -1;
    if (g_verbose)
        LL_LOG(LOG_LEVEL_DEBUG, kHandler, "Reply:\n%s", reply);
    return -1;
}

/* Sends a 200 reply and moves the session to `status`; 0, or -1 when the
 * write failed (the session is then in RTSP_STATUS_ERROR). */
int reply_ok(request_ctx *rq, const char *reply, int n, rtsp_status status, const char *method)
{
    if (!write_reply(rq, reply, (size_t)n))
        return -1;
    rtsp_session_set_status(rq->chn, rq->ses, status);
    if (g_verbose)
        LL_LOG(LOG_LEVEL_DEBUG, kHandler, "Reply %s:\n%s", method, reply);
    return 0;
}

int not_found(request_ctx *rq)
{
    if (g_verbose)
        LL_LOG(LOG_LEVEL_DEBUG, kHandler, "not found source for fd %d\n", rq->cfd);
    return reply_status(rq, "RTSP/1.0 404 Not Found\r\nCSeq: %s\r\n\r\n");
}

int handle_options(request_ctx *rq)
{
    /* Without credentials (where they are required) OPTIONS is answered,
     * but starts no stream. */
    if (rq->may_create) {
        if (!rq->chn)
            rq->chn = rtsp_add_channel(rq->rtsp, rq->path);
        if (rq->chn && !rq->ses)
            rq->ses = rtsp_channel_add_session(rq->chn, rq->cfd);
        if (!rq->chn || !rq->ses)
            return reply_status(rq, "RTSP/1.0 503 Service Unavailable\r\nCSeq: %s\r\n\r\n");
    }

    char reply[kReplySize];
    int n = snprintf(reply, sizeof(reply),
                     "RTSP/1.0 200 OK\r\nCseq: %s\r\n"
                     "Public: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY\r\n\r\n",
                     rq->cseq);
    if (!write_reply(rq, reply, (size_t)n))
        return -1;
    if (rq->ses && rtsp_session_get_status(rq->chn, rq->ses) == RTSP_STATUS_DEFAULT)
        rtsp_session_set_status(rq->chn, rq->ses, RTSP_STATUS_OPTION);
    if (g_verbose)
        LL_LOG(LOG_LEVEL_DEBUG, kHandler, "Reply OPTIONS:\n%s", reply);
    return 0;
}

int handle_describe(request_ctx *rq)
{
    if (!rq->chn)
        return not_found(rq);
    char sdp[kSdpSize];
    int slen = rtsp_compose_sdp(sdp, sizeof(sdp), rq->cfd, rq->chn->src_vhandle != nullptr,
                                rq->chn->video_rtp_pkt.header.payload_type,
                                rtsp_channel_has_audio(rq->chn) ? &rq->chn->audio_info : nullptr);
    if (slen < 0)
        slen = 0, sdp[0] = '\0';
    char reply[kReplySize];
    int n = snprintf(reply, sizeof(reply),
                     "RTSP/1.0 200 OK\r\nCseq: %s\r\nContent-Type: application/sdp\r\n"
                     "Content-Length: %i\r\n\r\n%s",
                     rq->cseq, slen, sdp);
    if (!write_reply(rq, reply, (size_t)n))
        return -1;
    if (rq->ses)
        rtsp_session_set_status(rq->chn, rq->ses, RTSP_STATUS_DESCRIBE);
    if (g_verbose)
        LL_LOG(LOG_LEVEL_DEBUG, kHandler, "Reply DESCRIBE:\n%s", reply);
    return 0;
}

/* Client RTP port of a UDP transport, or 0 when there is none. */
int client_rtp_port(const char *req)
{
    const char *t = strstr(req, "RTP/AVP;");
    if (!t)
        t = strstr(req, "RTP/AVP/UDP;");
    if (!t)
        return 0;
    const char *cp = strstr(t, "client_port=");
    if (!cp)
        return 0;
    long port = strtol(cp + 12, nullptr, 10);
    /* The RTCP port is the next one, so the RTP port must leave room. */
    return (port > 0 && port < 65535) ? (int)port : 0;
}

long fd_limit()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return 0;
    return (long)rl.rlim_cur;
}

void close_fd(int32_t *fd)
{
    if (*fd > 0)
        close(*fd);
    *fd = 0;
}

bool bind_udp(int fd, int port)
{
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons((uint16_t)port);
    return bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) == 0;
}

/* Binds a fresh UDP socket pair to the first even port >= base whose port
 * and port + 1 are both free.  A pair whose second bind fails is released
 * and the search goes on with new sockets.  0 on success. */
int bind_port_pair(int base, int *rtp_fd, int *rtcp_fd, int *port)
{
    for (int p = base; p + 1 <= 65535; p += 2) {
        int a = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (a < 0)
            return -1;
        if (!bind_udp(a, p)) {
            close(a);
            continue;
        }
        int b = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (b < 0) {
            close(a);
            return -1;
        }
        if (!bind_udp(b, p + 1)) {
            close(a);
            close(b);
            continue;
        }
        *rtp_fd = a;
        *rtcp_fd = b;
        *port = p;
        return 0;
    }
    return -1;
}

/* Connects a new RTP socket to the player's port at the address of its
 * control connection, so that each send skips the route lookup of an
 * unconnected socket; the datagrams are the same.  The address, or 0 when
 * the socket stays unconnected (delivery then names the peer each time). */
uint32_t connect_rtp(int cfd, int rtp_fd, int cport)
{
    struct sockaddr_in peer;
    memset(&peer, 0, sizeof(peer));
    socklen_t plen = sizeof(peer);
    if (getpeername(cfd, reinterpret_cast<struct sockaddr *>(&peer), &plen) != 0 ||
        peer.sin_family != AF_INET || peer.sin_addr.s_addr == 0)
        return 0;
    peer.sin_port = htons((uint16_t)cport);
    if (connect(rtp_fd, reinterpret_cast<struct sockaddr *>(&peer), sizeof(peer)) != 0)
        return 0;
    return peer.sin_addr.s_addr;
}

/* The medium a SETUP's URL names: 0 video (track0), 1 audio (track1),
 * -1 neither. */
int setup_track(const char *buf)
{
    char track[20] = {0};
    rtsp_get_value_from_req(buf, RTSP_TRACK_ID, track, sizeof(track));
    if (strncmp(track, "track0", 6) == 0)
        return 0;
    if (strncmp(track, "track1", 6) == 0)
        return 1;
    return -1;
}

bool is_tcp_transport(const char *buf)
{
    return strstr(buf, "RTP/AVP/TCP") != nullptr;
}

/* SETUP of RTP over the control connection. */
int setup_interleaved(request_ctx *rq, const char *buf, int track)
{
    int a = 0, b = 0;
    int r = rtsp_transport_interleaved(buf, &a, &b);
    if (r < 0 || (r > 0 && b != a + 1)) {
        rtsp_session_set_status(rq->chn, rq->ses, RTSP_STATUS_ERROR);
        if (g_verbose)
            LL_LOG(LOG_LEVEL_DEBUG, kHandler, "bad interleaved channels for fd %d\n", rq->cfd);
        return reply_status(rq, "RTSP/1.0 461 Unsupported Transport\r\nCSeq: %s\r\n\r\n");
    }
    if (r == 0)
        a = 2 * (track < 0 ? 0 : track), b = a + 1;
    session_t *s = rq->ses;
    rtsp_tcp_out *out = rtsp_conn_out(rq->rtsp, rq->cfd);
    /* Media waits in the connection's queue, where a slow reader loses
     * whole frames, rather than in a large kernel buffer. */
    int sndbuf = kTcpSndBuf;
    setsockopt(rq->cfd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    rtsp_tcp_out *old = nullptr;
    int32_t old_fd[4] = {0, 0, 0, 0};
    {
        ll_lock lk(&rq->chn->mutex_session);
        if (s->tcp_out != out) {
            old = s->tcp_out;
            rtsp_tcp_out_ref(out);
            s->tcp_out = out;
        }
        if (track == 0)
            s->ilv_video = (uint8_t)a, s->ilv_mask |= RTSP_ILV_VIDEO;
        else if (track == 1)
            s->ilv_audio = (uint8_t)a, s->ilv_mask |= RTSP_ILV_AUDIO;
        /* A session plays over one transport: UDP sockets of an earlier
         * SETUP are let go. */
        int32_t *udp[4] = {&s->video_rtp_udp_fd, &s->video_rtcp_udp_fd, &s->audio_rtp_udp_fd,
                           &s->audio_rtcp_udp_fd};
        for (int i = 0; i < 4; i++)
            old_fd[i] = *udp[i], *udp[i] = 0;
        s->video_rtp_dest = s->audio_rtp_dest = 0;
        s->rtp_trans_type = TRANS_RTP_AVP_TCP;
        /* A pass that copied the old descriptors may still send on them:
         * they close once it is over. */
        while ((old_fd[0] > 0 || old_fd[2] > 0) && rq->chn->sends_in_flight > 0)
            pthread_cond_wait(&rq->chn->cond_sends, &rq->chn->mutex_session);
    }
    rtsp_tcp_out_unref(old);
    for (int32_t &fd : old_fd)
        close_fd(&fd);
    char reply[kReplySize];
    int n = snprintf(reply, sizeof(reply),
                     "RTSP/1.0 200 OK\r\nCSeq: %s\r\nSession: %u\r\n"
                     "Transport: RTP/AVP/TCP;unicast;interleaved=%d-%d\r\n\r\n",
                     rq->cseq, (unsigned)s->session_id, a, b);
    if (g_verbose)
        LL_LOG(LOG_LEVEL_DEBUG, kHandler, "track %d interleaved %d-%d on fd %d\n", track, a, b,
               rq->cfd);
    return reply_ok(rq, reply, n, RTSP_STATUS_SETUP, "SETUP");
}

int handle_setup(request_ctx *rq, const char *buf)
{
    if (!rq->ses)
        return not_found(rq);
    int track = setup_track(buf);
    /* The audio track's first SETUP starts the channel's audio. */
    if (track == 1)
        rtsp_channel_start_audio(rq->chn);
    if (is_tcp_transport(buf))
        return setup_interleaved(rq, buf, track);
    int cport = client_rtp_port(buf);
    if (cport == 0) {
        rtsp_session_set_status(rq->chn, rq->ses, RTSP_STATUS_ERROR);
        if (g_verbose)
            LL_LOG(LOG_LEVEL_DEBUG, kHandler, "no client port in the transport\n");
        return reply_status(rq, "RTSP/1.0 461 Unsupported Transport\r\nCSeq: %s\r\n\r\n");
    }
    int rtp_fd = -1, rtcp_fd = -1, sport = 0;
    int base = rq->rtsp->rtp_port_base > 0 ? rq->rtsp->rtp_port_base : RTSP_RTP_PORT_BASE;
    int bound = bind_port_pair(base, &rtp_fd, &rtcp_fd, &sport);
    if (bound == 0 && !rtsp_fd_admit(rtp_fd > rtcp_fd ? rtp_fd : rtcp_fd, fd_limit(),
                                     rq->rtsp->fd_reserve)) {
        /* The descriptors left belong to the recorder and the encoders. */
        close(rtp_fd);
        close(rtcp_fd);
        bound = -1;
    }
    if (bound != 0) {
        if (g_verbose)
            LL_LOG(LOG_LEVEL_DEBUG, kHandler, "no free rtp port pair for fd %d\n", rq->cfd);
        rtsp_session_set_status(rq->chn, rq->ses, RTSP_STATUS_ERROR);
        return reply_status(rq, "RTSP/1.0 503 Service Unavailable\r\nCSeq: %s\r\n\r\n");
    }

    uint32_t dest = track >= 0 ? connect_rtp(rq->cfd, rtp_fd, cport) : 0;
    session_t *s = rq->ses;
    /* The UDP fields are written by this thread only and read by the
     * video thread under mutex_session, so they change under it too.
     * Sockets that nothing will refer to any more are closed. */
    int32_t old[2] = {0, 0};
    rtsp_tcp_out *old_out = nullptr;
    {
        ll_lock lk(&rq->chn->mutex_session);
        if (track == 0) {
            old[0] = s->video_rtp_udp_fd, old[1] = s->video_rtcp_udp_fd;
            s->video_rtp_udp_fd = rtp_fd, s->video_rtcp_udp_fd = rtcp_fd;
            s->video_rtp_port = sport, s->client_video_rtp_port = cport;
            s->video_rtp_dest = dest;
        } else if (track == 1) {
            old[0] = s->audio_rtp_udp_fd, old[1] = s->audio_rtcp_udp_fd;
            s->audio_rtp_udp_fd = rtp_fd, s->audio_rtcp_udp_fd = rtcp_fd;
            s->audio_rtp_port = sport, s->client_audio_rtp_port = cport;
            s->audio_rtp_dest = dest;
        } else {
            old[0] = rtp_fd, old[1] = rtcp_fd;
        }
        old_out = s->tcp_out;
        s->tcp_out = nullptr;
        s->ilv_mask = 0;
        s->rtp_trans_type = TRANS_RTP_AVP;
        /* A pass that copied the old descriptors may still send on them:
         * they close once it is over. */
        while (old[0] > 0 && rq->chn->sends_in_flight > 0)
            pthread_cond_wait(&rq->chn->cond_sends, &rq->chn->mutex_session);
    }
    rtsp_tcp_out_unref(old_out);
    close_fd(&old[0]);
    close_fd(&old[1]);

    char reply[kReplySize];
    int n = snprintf(reply, sizeof(reply),
                     "RTSP/1.0 200 OK\r\nCSeq: %s\r\nSession: %u\r\n"
                     "Transport: RTP/AVP;unicast;client_port=%u-%u;server_port=%u-%u\r\n\r\n",
                     rq->cseq, (unsigned)s->session_id, (unsigned)cport, (unsigned)cport + 1,
                     (unsigned)sport, (unsigned)sport + 1);
    if (g_verbose)
        LL_LOG(LOG_LEVEL_DEBUG, kHandler, "trackid:%d, rtpfd:%d, port:%d, clientport:%d\n", track,
               rtp_fd, sport, cport);
    return reply_ok(rq, reply, n, RTSP_STATUS_SETUP, "SETUP");
}

int handle_play(request_ctx *rq)
{
    if (!rq->ses)
        return not_found(rq);
    __atomic_store_n(&rq->chn->v_sr_now, 1, __ATOMIC_RELAXED);
    __atomic_store_n(&rq->chn->a_sr_now, 1, __ATOMIC_RELAXED);
    char reply[kReplySize];
    int n = snprintf(reply, sizeof(reply),
                     "RTSP/1.0 200 OK\r\nCSeq: %s\r\nRange: npt=0.000-\r\n"
                     "Session: %u; timeout=60\r\n\r\n",
                     rq->cseq, (unsigned)rq->ses->session_id);
    return reply_ok(rq, reply, n, RTSP_STATUS_PLAY, "PLAY");
}

/* RTCP BYE of each stream the session plays, on its RTCP port or
 * interleaved channel.  Server thread: it alone changes the session's
 * sockets and channels, so they stay valid while it sends. */
void send_bye(request_ctx *rq)
{
    session_t *s = rq->ses;
    rtsp_channel_t *c = rq->chn;
    struct stream {
        bool on;
        uint32_t ssrc;
        int fd, port;
        uint8_t chan;
    } st[2];
    rtsp_tcp_out *out = nullptr;
    {
        ll_lock lk(&c->mutex_session);
        if (s->status != RTSP_STATUS_PLAY)
            return;
        bool tcp = s->rtp_trans_type == TRANS_RTP_AVP_TCP;
        out = tcp ? s->tcp_out : nullptr;
        rtsp_tcp_out_ref(out);
        st[0] = {tcp ? (s->ilv_mask & RTSP_ILV_VIDEO) != 0 : s->video_rtcp_udp_fd > 0,
                 c->video_rtp_pkt.header.ssrc, s->video_rtcp_udp_fd, s->client_video_rtp_port + 1,
                 (uint8_t)(s->ilv_video + 1)};
        st[1] = {tcp ? (s->ilv_mask & RTSP_ILV_AUDIO) != 0 : s->audio_rtcp_udp_fd > 0,
                 c->audio_rtp_pkt.header.ssrc, s->audio_rtcp_udp_fd, s->client_audio_rtp_port + 1,
                 (uint8_t)(s->ilv_audio + 1)};
    }
    struct sockaddr_in peer;
    memset(&peer, 0, sizeof(peer));
    socklen_t plen = sizeof(peer);
    bool have_peer = getpeername(rq->cfd, reinterpret_cast<struct sockaddr *>(&peer), &plen) == 0 &&
                     peer.sin_family == AF_INET;
    for (const stream &m : st) {
        if (!m.on)
            continue;
        uint8_t pkt[RTCP_MAX_SIZE];
        int n = rtcp_write_bye(pkt, sizeof(pkt), m.ssrc, c->chn_name);
        if (n <= 0)
            continue;
        if (out) {
            uint16_t len = (uint16_t)n;
            rtsp_ilv_run run = {pkt, &len, 1, m.chan};
            rtsp_tcp_out_media(out, &run, RTSP_MEDIA_OTHER, (size_t)n, 0, 0);
        } else if (have_peer) {
            peer.sin_port = htons((uint16_t)m.port);
            sendto(m.fd, pkt, (size_t)n, MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<struct sockaddr *>(&peer), sizeof(peer));
        }
    }
    rtsp_tcp_out_unref(out);
}

int handle_teardown(request_ctx *rq)
{
    if (!rq->ses)
        return not_found(rq);
    send_bye(rq);
    char reply[kReplySize];
    int n = snprintf(reply, sizeof(reply), "RTSP/1.0 200 OK\r\nCSeq: %s\r\n\r\n", rq->cseq);
    return reply_ok(rq, reply, n, RTSP_STATUS_TEARDOWN, "TEARDOWN");
}

bool starts_with(const char *s, const char *prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

/* A request line of a method (upper-case letters) and a URL too long for
 * the URL buffer: answered with 414 rather than left unanswered. */
bool url_too_long(const char *req)
{
    size_t m = 0;
    while (req[m] >= 'A' && req[m] <= 'Z')
        m++;
    if (m == 0 || m >= kMethodSize || req[m] != ' ')
        return false;
    const char *u = req + m;
    while (*u == ' ')
        u++;
    size_t n = 0;
    while (u[n] && u[n] != ' ' && u[n] != '\t' && u[n] != '\r' && u[n] != '\n')
        n++;
    return n >= kUrlSize;
}


/* Value of the request's Authorization header (up to its line end), or
 * null. */
const char *find_authorization(const char *req, size_t *len)
{
    static const char kName[] = "authorization:";
    for (const char *line = strchr(req, '\n'); line && *++line; line = strchr(line, '\n')) {
        if (strncasecmp(line, kName, sizeof(kName) - 1) != 0)
            continue;
        const char *v = line + sizeof(kName) - 1;
        while (*v == ' ' || *v == '\t')
            v++;
        *len = strcspn(v, "\r\n");
        return v;
    }
    return nullptr;
}

const char *auth_verdict_name(rtsp_auth_result r)
{
    switch (r) {
    case RTSP_AUTH_STALE:
        return "stale nonce";
    case RTSP_AUTH_REPLAY:
        return "replayed nonce count";
    case RTSP_AUTH_LOCKED:
        return "address locked after failures";
    default:
        return "wrong credentials";
    }
}

/* Failed attempts in the log, a few a second at most (server thread). */
rtsp_rate g_auth_log;

/* With a credentials file, checks the request's credentials.  Answers 401
 * and returns false when a request other than OPTIONS lacks valid ones. */
bool authorize(request_ctx *rq, const char *method, const char *buf, bool *valid)
{
    rtsp_auth *auth = static_cast<rtsp_auth *>(rq->rtsp->auth);
    *valid = true;
    if (!auth)
        return true;
    request_line rl;
    if (!parse_request_line(buf, &rl))
        return false;
    struct sockaddr_in peer;
    memset(&peer, 0, sizeof(peer));
    socklen_t plen = sizeof(peer);
    getpeername(rq->cfd, reinterpret_cast<struct sockaddr *>(&peer), &plen);
    size_t alen = 0;
    const char *authz = find_authorization(buf, &alen);
    char user[64] = {0};
    uint64_t now = rtsp_now_sec();
    rtsp_auth_result r = rtsp_auth_check(auth, method, rl.url, authz, authz ? alen : 0,
                                         peer.sin_addr.s_addr, now, user, sizeof(user));
    *valid = r == RTSP_AUTH_OK;
    if (*valid || starts_with(method, "OPTIONS"))
        return true;
    if (r != RTSP_AUTH_MISSING && r != RTSP_AUTH_STALE &&
        rtsp_rate_allow(&g_auth_log, rtsp_mono_ms(), 5)) {
        char name[RTSP_LOG_ESCAPED_SIZE], ip[INET_ADDRSTRLEN] = "?";
        rtsp_log_escape(user, strlen(user), name, sizeof(name));
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
        LL_LOG(LOG_LEVEL_WARNING, kHandler,
               "authentication failed (%s) for user \"%s\" from %s, %u more failures not logged\n",
               auth_verdict_name(r), name, ip, rtsp_rate_take_dropped(&g_auth_log));
    }
    char challenge[256];
    if (rtsp_auth_challenge(auth, now, r == RTSP_AUTH_STALE, challenge, sizeof(challenge)) < 0)
        challenge[0] = '\0';
    char reply[kReplySize];
    int n = snprintf(reply, sizeof(reply), "RTSP/1.0 401 Unauthorized\r\nCSeq: %s\r\n%s\r\n",
                     rq->cseq, challenge);
    write_reply(rq, reply, (size_t)n);
    if (g_verbose)
        LL_LOG(LOG_LEVEL_DEBUG, kHandler, "Reply:\n%s", reply);
    return false;
}

}  // namespace

extern "C" int rtsp_handle_packet(rtsp_t *rtsp, int cfd, const char *buf, int buf_len)
{
    if (!rtsp || cfd <= 0 || !buf || !*buf || buf_len <= 0)
        return -1;

    request_ctx rq;
    memset(&rq, 0, sizeof(rq));
    rq.rtsp = rtsp;
    rq.cfd = cfd;
    char method[kMethodSize] = {0};
    rtsp_get_value_from_req(buf, RTSP_METHOD, method, sizeof(method));
    rtsp_get_value_from_req(buf, RTSP_CSEQ, rq.cseq, sizeof(rq.cseq));
    rtsp_get_value_from_req(buf, RTSP_PATH, rq.path, sizeof(rq.path));
    if (!method[0] && url_too_long(buf)) {
        if (!find_cseq(buf, rq.cseq, sizeof(rq.cseq)))
            rq.cseq[0] = '\0';
        return reply_status(&rq, "RTSP/1.0 414 Request-URI Too Long\r\nCSeq: %s\r\n\r\n");
    }

    rq.chn = rtsp_find_channel(rtsp, rq.path);
    if (rq.chn)
        rq.ses = rtsp_find_session(rq.chn, cfd);
    bool valid = true;
    if (!authorize(&rq, method, buf, &valid))
        return -1;
    rq.may_create = valid;
    if (rtsp->auth && valid && !rq.ses && method[0] && !starts_with(method, "OPTIONS")) {
        /* With credentials required, the first request that carries them
         * starts the stream (an OPTIONS without them did not). */
        if (!rq.chn)
            rq.chn = rtsp_add_channel(rtsp, rq.path);
        if (rq.chn)
            rq.ses = rtsp_channel_add_session(rq.chn, cfd);
    }

    int rc = 0;
    if (starts_with(method, "OPTIONS"))
        rc = handle_options(&rq);
    else if (strcmp(method, "DESCRIBE") == 0)
        rc = handle_describe(&rq);
    else if (starts_with(method, "SETUP"))
        rc = handle_setup(&rq, buf);
    else if (starts_with(method, "PLAY"))
        rc = handle_play(&rq);
    else if (starts_with(method, "TEARDOWN"))
        rc = handle_teardown(&rq);
    if (rc != 0)
        return -1;

    if (rq.ses) {
        ll_lock lk(&rq.chn->mutex_session);
        rq.ses->tm_last_access = rtsp_now_sec();
    }
    return 0;
}

extern "C" void rtsp_handle_interleaved(rtsp_t *rtsp, int cfd, uint8_t channel,
                                        const uint8_t *data, size_t len)
{
    if (!rtsp || !data)
        return;
    rtcp_summary sum;
    if ((channel & 1) == 0 || !rtcp_parse(data, len, &sum))
        return;
    uint64_t now = rtsp_now_sec();
    struct list_head *pos;
    list_for_each(pos, &rtsp->list_head_chn) {
        rtsp_channel_t *c = list_entry(pos, rtsp_channel_t, list);
        ll_lock lk(&c->mutex_session);
        struct list_head *sp;
        list_for_each(sp, &c->list_head_session) {
            session_t *s = list_entry(sp, session_t, list);
            if (s->client_fd != cfd || s->rtp_trans_type != TRANS_RTP_AVP_TCP)
                continue;
            bool ours = ((s->ilv_mask & RTSP_ILV_VIDEO) && channel == s->ilv_video + 1) ||
                        ((s->ilv_mask & RTSP_ILV_AUDIO) && channel == s->ilv_audio + 1);
            if (ours)
                s->tm_last_access = now;
        }
    }
}
