/*
 * rtsp_rtp.cpp - H.264 RTP packetisation and delivery.
 *
 * THREADS: rtsp_chn_video_main is the body of a channel's video thread.
 * That thread alone touches the channel's video template (seq, ts), v_ts
 * and v_ts_set after creation.  It walks the channel's sessions under
 * mutex_session only to copy what a send needs and to move finished
 * sessions to the graveyard; sends and log lines happen with no lock held.
 * The server thread frees the retired sessions (dovu_rtsp.cpp).
 */
#include "rtsp_rtp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ll_log.h"

namespace {

/* A NAL unit of up to this many bytes goes as a single NAL unit packet.
 * 1401 would otherwise be one FU-A fragment with both S and E set, which
 * RFC 6184 5.8 forbids; as a single packet it still fits the payload. */
constexpr size_t kSingleNalMax = RTP_MAX_NAL_PAYLOAD + 1;
constexpr size_t kFuPiece = RTP_MAX_NAL_PAYLOAD;
constexpr uint8_t kFuA = 28;

/* Start code at p[0..]: its length (3 or 4), or 0. */
size_t start_code_len(const uint8_t *p, size_t n)
{
    if (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1)
        return 3;
    if (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1)
        return 4;
    return 0;
}

/* Finds the NAL unit that starts at or after pos (just past a start
 * code).  Its bytes are [*nal, *nal + *len), trailing zero bytes (which
 * belong to the next 4-byte start code or are trailing_zero_8bits) cut
 * off.  Returns the position just past the next start code, or n when the
 * unit runs to the end of the frame. */
size_t next_nal(const uint8_t *p, size_t n, size_t pos, size_t *nal, size_t *len)
{
    size_t i = pos;
    size_t next = n;
    size_t end = n;
    while (i + 3 <= n) {
        if (p[i + 2] > 1) {
            i += 3;
        } else if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            end = i;
            next = i + 3;
            break;
        } else {
            i++;
        }
    }
    while (end > pos && p[end - 1] == 0)
        end--;
    *nal = pos;
    *len = end - pos;
    return next;
}

struct packet_sink {
    rtp_packet pkt;
    rtp_header *tmpl;
    rtp_emit_fn emit;
    void *ctx;
    int count;

    void send(int payload_size, bool last)
    {
        pkt.header = *tmpl;
        pkt.header.marker = last ? 1 : 0;
        emit(ctx, &pkt, payload_size);
        tmpl->seq = (uint16_t)(tmpl->seq + 1);
        count++;
    }
};

/*
 * One NAL unit.  FU-A (RFC 6184 5.8):
 *
 *   FU indicator        FU header
 *  +-+-+-+-+-+-+-+-+   +-+-+-+-+-+-+-+-+
 *  |F|NRI|  Type=28|   |S|E|R|  Type   |
 *  +-+-+-+-+-+-+-+-+   +-+-+-+-+-+-+-+-+
 */
void packetize_nal(packet_sink *out, const uint8_t *nal, size_t n, bool last_nal)
{
    if (n <= kSingleNalMax) {
        memcpy(out->pkt.payload, nal, n);
        out->send((int)n, last_nal);
        return;
    }
    const uint8_t hdr = nal[0];
    const uint8_t indicator = (uint8_t)((hdr & 0x60) | kFuA);
    const uint8_t *p = nal + 1;
    size_t left = n - 1;
    bool first = true;
    while (left > 0) {
        size_t piece = left > kFuPiece ? kFuPiece : left;
        bool end = piece == left;
        out->pkt.payload[0] = indicator;
        out->pkt.payload[1] =
            (uint8_t)((hdr & 0x1f) | (first ? 0x80 : 0) | (end ? 0x40 : 0));
        memcpy(out->pkt.payload + 2, p, piece);
        out->send((int)(piece + 2), last_nal && end);
        p += piece;
        left -= piece;
        first = false;
    }
}

}  // namespace

extern "C" {

int rtp_packetize_h264(rtp_video_state *st, const uint8_t *frame, size_t frame_size,
                       uint64_t ts_ms, rtp_emit_fn emit, void *ctx)
{
    if (!st || !st->hdr || !frame || !emit)
        return 0;
    size_t sc = start_code_len(frame, frame_size);
    if (sc == 0)
        return 0;

    /* First unit with at least one byte; a frame without one is dropped. */
    size_t pos = sc, nal = 0, len = 0;
    do {
        pos = next_nal(frame, frame_size, pos, &nal, &len);
    } while (len == 0 && pos < frame_size);
    if (len == 0)
        return 0;

    /* 90 kHz from the source's milliseconds; the first frame gets 0. */
    if (!*st->last_ms_set) {
        st->hdr->ts = 0;
        *st->last_ms_set = 1;
    } else {
        uint32_t delta = (uint32_t)ts_ms - (uint32_t)*st->last_ms;
        st->hdr->ts = (uint32_t)(st->hdr->ts + 90u * delta);
    }
    *st->last_ms = ts_ms;

    packet_sink out;
    out.tmpl = st->hdr;
    out.emit = emit;
    out.ctx = ctx;
    out.count = 0;
    /* Look one unit ahead so the marker goes on the frame's last packet. */
    while (len > 0) {
        size_t next_pos = pos, nnal = 0, nlen = 0;
        while (nlen == 0 && next_pos < frame_size)
            next_pos = next_nal(frame, frame_size, next_pos, &nnal, &nlen);
        packetize_nal(&out, frame + nal, len, nlen == 0);
        pos = next_pos, nal = nnal, len = nlen;
    }
    return out.count;
}

int rtp_h264_frame_is_key(const uint8_t *frame, size_t frame_size)
{
    if (!frame)
        return 0;
    size_t sc = start_code_len(frame, frame_size);
    if (sc == 0)
        return 0;
    size_t pos = sc, nal = 0, len = 0;
    while (pos < frame_size) {
        pos = next_nal(frame, frame_size, pos, &nal, &len);
        uint8_t type = len > 0 ? (frame[nal] & 0x1f) : 0;
        if (type == 5 || type == 7)
            return 1;
    }
    return 0;
}

void rtp_header_serialize(const rtp_header *h, uint8_t out[RTP_HEADER_SIZE])
{
    out[0] = (uint8_t)((h->rtp_version << 6) | (h->padding << 5) | (h->extention << 4) |
                       h->csrc_count);
    out[1] = (uint8_t)((h->marker << 7) | h->payload_type);
    uint16_t seq = htons(h->seq);
    uint32_t ts = htonl(h->ts);
    uint32_t ssrc = htonl(h->ssrc);
    memcpy(out + 2, &seq, 2);
    memcpy(out + 4, &ts, 4);
    memcpy(out + 8, &ssrc, 4);
}

}  // extern "C"

/* ---- delivery ----------------------------------------------------------- */

namespace {

/* What one session needs for one send, copied under mutex_session. */
struct send_target {
    session_t *ses;
    int udp_fd;
    struct sockaddr_in to;
    bool peer_ok;
    int peer_errno;
    bool failed;
    int send_result;
    int send_errno;
};

void emit_to_channel(void *ctx, const rtp_packet *pkt, int payload_size)
{
    rtsp_send_rtp_packet(static_cast<rtsp_channel_t *>(ctx), pkt, payload_size);
}

void wake_server(rtsp_channel_t *p_chn)
{
    if (!p_chn->rtsp || p_chn->rtsp->wake_fd <= 0)
        return;
    uint64_t one = 1;
    ssize_t r = write(p_chn->rtsp->wake_fd, &one, sizeof(one));
    (void)r;   /* a full counter already means "wake up" */
}

}  // namespace

extern "C" int rtsp_send_rtp_packet(rtsp_channel_t *p_chn, const rtp_packet *rtppack,
                                    int payload_size)
{
    if (!p_chn || !rtppack || payload_size <= 0 || payload_size > RTP_PAYLOAD_BUF_SIZE)
        return -1;
    const uint64_t now = rtsp_now_sec();
    const int pt = rtppack->header.payload_type;

    /* One wire copy per pass, shared by every session. */
    uint8_t wire[RTP_HEADER_SIZE + RTP_PAYLOAD_BUF_SIZE];
    rtp_header_serialize(&rtppack->header, wire);
    memcpy(wire + RTP_HEADER_SIZE, rtppack->payload, (size_t)payload_size);
    const size_t wire_len = RTP_HEADER_SIZE + (size_t)payload_size;

    /* Reused by this thread from pass to pass. */
    thread_local std::vector<send_target> targets;
    targets.clear();
    bool unknown_pt = false;
    {
        rtsp_lock lk(&p_chn->mutex_session);
        struct list_head *pos;
        list_for_each(pos, &p_chn->list_head_session) {
            session_t *s = list_entry(pos, session_t, list);
            if (s->status != RTSP_STATUS_PLAY || s->rtp_trans_type != TRANS_RTP_AVP)
                continue;
            if (pt == PAYLOAD_RTP_H264 && s->wait_key)
                continue;
            if (pt != PAYLOAD_RTP_H264 && pt != PAYLOAD_RTP_AAC) {
                unknown_pt = true;
                continue;
            }
            int fd = pt == PAYLOAD_RTP_H264 ? s->video_rtp_udp_fd : s->audio_rtp_udp_fd;
            int port = pt == PAYLOAD_RTP_H264 ? s->client_video_rtp_port : s->client_audio_rtp_port;
            if (fd <= 0)
                continue;
            send_target t;
            memset(&t, 0, sizeof(t));
            t.ses = s;
            t.udp_fd = fd;
            /* Under the lock, so the server thread cannot close client_fd
             * (and hand its number to a new connection) meanwhile. */
            socklen_t alen = sizeof(t.to);
            t.peer_ok = s->client_fd > 0 &&
                        getpeername(s->client_fd, reinterpret_cast<struct sockaddr *>(&t.to),
                                    &alen) == 0 &&
                        t.to.sin_family == AF_INET;
            t.peer_errno = s->client_fd > 0 ? errno : EBADF;
            t.to.sin_port = htons((uint16_t)port);
            targets.push_back(t);
        }
    }
    if (unknown_pt)
        ll_printf(LOG_LEVEL_DEBUG, "[%s][%s:%d]unknow payload type\n", ll_getCurrentTimeStr(),
                  __func__, __LINE__);

    bool any_failed = false;
    for (send_target &t : targets) {
        if (!t.peer_ok) {
            ll_printf(LOG_LEVEL_DEBUG, "[%s][%s:%d]getpeername error, %s\n", ll_getCurrentTimeStr(),
                      __func__, __LINE__, strerror(t.peer_errno));
            continue;
        }
        ssize_t r = sendto(t.udp_fd, wire, wire_len, MSG_NOSIGNAL,
                           reinterpret_cast<struct sockaddr *>(&t.to), sizeof(t.to));
        if (r < 0) {
            t.failed = true;
            any_failed = true;
            if (pt == PAYLOAD_RTP_H264)
                ll_printf(LOG_LEVEL_DEBUG, "[%s][%s:%d]+++++++++send %d failed, %s\n",
                          ll_getCurrentTimeStr(), __func__, __LINE__, (int)r, strerror(errno));
        }
    }

    /* Mark failures, then retire torn-down, failed and idle sessions.  Only
     * this thread unlinks from the live list, so the pointers copied above
     * still name linked sessions. */
    bool retired = false;
    {
        rtsp_lock lk(&p_chn->mutex_session);
        if (any_failed)
            for (const send_target &t : targets)
                if (t.failed)
                    t.ses->status = RTSP_STATUS_ERROR;
        struct list_head *pos, *n;
        list_for_each_safe(pos, n, &p_chn->list_head_session) {
            session_t *s = list_entry(pos, session_t, list);
            if (s->status > RTSP_STATUS_PLAY || now > s->tm_last_access + RTSP_SESSION_IDLE_SEC) {
                list_del(&s->list);
                list_add_tail(&s->list, &p_chn->list_head_dead);
                retired = true;
            }
        }
    }
    if (retired)
        wake_server(p_chn);
    return 0;
}

extern "C" void rtsp_process_video_frame(rtsp_channel_t *p_chn, const uint8_t *pframe,
                                         uint32_t frame_size, uint64_t ts)
{
    if (!p_chn || !pframe)
        return;
    if (rtp_h264_frame_is_key(pframe, frame_size)) {
        rtsp_lock lk(&p_chn->mutex_session);
        struct list_head *pos;
        list_for_each(pos, &p_chn->list_head_session) {
            session_t *s = list_entry(pos, session_t, list);
            if (s->status == RTSP_STATUS_PLAY && s->rtp_trans_type == TRANS_RTP_AVP)
                s->wait_key = 0;
        }
    }
    rtp_video_state st = {&p_chn->video_rtp_pkt.header, &p_chn->v_ts, &p_chn->v_ts_set};
    rtp_packetize_h264(&st, pframe, frame_size, ts, emit_to_channel, p_chn);
}

extern "C" void rtsp_process_audio_frame(rtsp_channel_t *, const uint8_t *, uint32_t, uint64_t)
{
}

extern "C" void *rtsp_chn_video_main(void *arg)
{
    rtsp_channel_t *p_chn = static_cast<rtsp_channel_t *>(arg);
    if (!p_chn)
        return nullptr;
    unsigned int frame_size = 0;
    unsigned long long ts = 0, ts_last = 0;
    unsigned char *frame = static_cast<unsigned char *>(malloc(DOVU_STREAM_BUF_SIZE));
    if (!frame) {
        ll_printf(LOG_LEVEL_ERROR, "[%s][%s:%d]malloc frame failed\n", ll_getCurrentTimeStr(),
                  __func__, __LINE__);
        return nullptr;
    }
    __atomic_store_n(&p_chn->is_running, 1, __ATOMIC_RELEASE);
    ll_printf(LOG_LEVEL_INFO, "[%s]++++++++++++++ channel [ %s ] is alive! ++++++++++++++++++++\n",
              ll_getCurrentTimeStr(), p_chn->chn_name);

    while (!__atomic_load_n(&p_chn->quit, __ATOMIC_ACQUIRE)) {
        frame_size = 0;
        dovu_get_video_stream_data(p_chn->src, p_chn->src_vhandle, frame, &frame_size, &ts);
        if (frame_size == 0 || ts <= ts_last || frame_size > DOVU_STREAM_BUF_SIZE) {
            usleep(10000);
            continue;
        }
        rtsp_process_video_frame(p_chn, frame, frame_size, ts);
        ts_last = ts;
    }

    __atomic_store_n(&p_chn->is_running, 0, __ATOMIC_RELEASE);
    free(frame);
    return nullptr;
}
