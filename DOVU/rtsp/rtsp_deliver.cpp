/*
 * rtsp_deliver.cpp - delivery of a channel's RTP packets to its sessions,
 * and the channel's video thread.
 *
 * THREADS: rtsp_chn_video_main is the body of a channel's video thread.
 * That thread alone touches the channel's video template (seq, ts), v_ts
 * and v_ts_set after creation.  It walks the channel's sessions under
 * mutex_session only to copy what a send needs (looking up and caching a
 * session's peer address the first time) and to move finished sessions to
 * the graveyard.  It sends with no lock held, counted in the channel's
 * sends_in_flight (see dovu_rtsp.h), and logs
 * with no lock held.
 * The server thread frees the retired sessions (dovu_rtsp.cpp).
 */
#include "rtsp_deliver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ll_log.h"
#include "ll_lock.h"
#include "rtsp_rtcp.h"
#include "rtsp_rtp_aac.h"
#include "rtsp_tcp_out.h"
#include "rtsp_keycache.h"
#include "rtsp_udp_out.h"

/* ---- delivery ----------------------------------------------------------- */

/*
 * A delivery pass sends a run of wire packets (a whole frame, or one packet
 * for rtsp_send_rtp_packet) to every playing session.  Its cost is mostly
 * system calls, so it keeps them few:
 *   - the peer address of a session is looked up once and cached in the
 *     session, not once per packet; an RTP socket that SETUP connected to
 *     that address sends without naming it, which spares the kernel a
 *     route lookup per message;
 *   - the run is laid out as messages once, and each UDP session gets all
 *     of them with one sendmmsg, runs of equal packets offloaded to the
 *     kernel where it cuts them (rtsp_udp_out.h);
 *   - a session over TCP gets the run into its connection's queue, which
 *     never waits on the socket (rtsp_tcp_out.h).
 */
namespace {

/* A delivery pass's lines carry the name of the public sending call. */
constexpr char kSender[] = "rtsp_send_rtp_packet";

constexpr size_t kWireMax = RTP_HEADER_SIZE + RTP_PAYLOAD_BUF_SIZE;
/* Bytes an interleaved packet adds to its RTP packet. */
constexpr size_t RTSP_ILV_HEADER = 4;
/* Smallest bound of a TCP send queue, for a stream of low rate. */
constexpr uint32_t kTcpQueueMin = 48 * 1024;
/* Packets a pass buffers before it sends; a larger frame takes several. */
constexpr int kBatchMax = RTSP_UDP_RUN_MAX;
rtsp_pass_hook_fn g_pass_hook = nullptr;   /* tests only (atomic) */

/* Packets laid out back to back, as they go on the wire. */
struct wire_run {
    const uint8_t *buf;
    const uint16_t *len;
    int count;
};

/* What one session needs for one pass, copied under mutex_session. */
struct send_target {
    session_t *ses;
    rtsp_tcp_out *out;      /* RTP over TCP: a reference held for the pass */
    int fd;                 /* its connection, for the log */
    uint8_t chan;
    rtsp_udp_dest udp;      /* RTP over UDP: fd 0 for a TCP session */
    bool peer_ok;
    bool log_peer;
    int peer_errno;
    bool failed;
    int send_errno;
    bool alive;             /* a receiver report came from the player */
};

/* Reads what waits on an RTCP socket; true when a valid RTCP compound
 * was among it. */
bool drain_receiver_reports(int fd)
{
    bool any = false;
    uint8_t buf[1500];
    for (int i = 0; i < 16; i++) {
        ssize_t r = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        rtcp_summary sum;
        if (rtcp_parse(buf, (size_t)r, &sum))
            any = true;
    }
    return any;
}

/* The peer of s's control connection, from the cache or looked up once.
 * Called under mutex_session: the server thread cannot close client_fd
 * (and hand its number to a new connection) meanwhile. */
bool session_peer(session_t *s, send_target *t)
{
    if (s->client_fd > 0 && s->peer_fd == s->client_fd) {
        t->udp.to.sin_addr.s_addr = s->peer_ip;
        return true;
    }
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    socklen_t alen = sizeof(sa);
    bool ok = s->client_fd > 0 &&
              getpeername(s->client_fd, reinterpret_cast<struct sockaddr *>(&sa), &alen) == 0 &&
              sa.sin_family == AF_INET;
    if (ok) {
        s->peer_ip = sa.sin_addr.s_addr;
        s->peer_fd = s->client_fd;
        s->peer_err_logged = 0;
        t->udp.to.sin_addr.s_addr = s->peer_ip;
        return true;
    }
    t->peer_errno = s->client_fd > 0 ? (errno ? errno : EAFNOSUPPORT) : EBADF;
    /* A hung-up connection fails here on every pass until the idle sweep
     * removes the session: one line says so. */
    t->log_peer = !s->peer_err_logged;
    s->peer_err_logged = 1;
    return false;
}

void wake_server(rtsp_channel_t *p_chn)
{
    if (!p_chn->rtsp || p_chn->rtsp->wake_fd <= 0)
        return;
    uint64_t one = 1;
    ssize_t r = write(p_chn->rtsp->wake_fd, &one, sizeof(one));
    (void)r;   /* a full counter already means "wake up" */
}

/* Where a pass stands in its video frame, for the TCP queues' drop
 * policy. */
struct frame_part {
    rtsp_media_part part;
    size_t frame_bytes;
    bool key;
    bool sweep;             /* this pass retires finished sessions */
    bool rtcp;              /* RTCP of the medium: odd port or channel */
};

/* The sessions a pass sends to, copied under mutex_session: every playing
 * session that has the medium's socket or interleaved channel and does not
 * wait for a key frame (or `only`, whether it waits or not).  The pass is
 * counted in flight before the lock is let go, so the descriptors copied
 * stay open until it ends: a SETUP that replaced them waits for it.  True
 * when a session was skipped for a payload type it cannot carry. */
bool take_targets(rtsp_channel_t *p_chn, int pt, const frame_part &fp, const session_t *only,
                  std::vector<send_target> &targets)
{
    bool unknown_pt = false;
    const bool v = pt == PAYLOAD_RTP_H264;
    ll_lock lk(&p_chn->mutex_session);
    struct list_head *pos;
    list_for_each(pos, &p_chn->list_head_session) {
        session_t *s = list_entry(pos, session_t, list);
        if (s->status != RTSP_STATUS_PLAY)
            continue;
        if (only ? s != only : (v && s->wait_key && !fp.rtcp))
            continue;
        if (pt != PAYLOAD_RTP_H264 && pt != PAYLOAD_RTP_AAC) {
            unknown_pt = true;
            continue;
        }
        send_target t;
        memset(&t, 0, sizeof(t));
        t.ses = s;
        if (s->rtp_trans_type == TRANS_RTP_AVP_TCP) {
            if (!s->tcp_out || !(s->ilv_mask & (v ? RTSP_ILV_VIDEO : RTSP_ILV_AUDIO)))
                continue;
            t.out = s->tcp_out;
            t.fd = s->client_fd;
            rtsp_tcp_out_ref(t.out);
            t.chan = (uint8_t)((v ? s->ilv_video : s->ilv_audio) + (fp.rtcp ? 1 : 0));
            t.peer_ok = true;
            targets.push_back(t);
            continue;
        }
        if (s->rtp_trans_type != TRANS_RTP_AVP)
            continue;
        int fd = fp.rtcp ? (v ? s->video_rtcp_udp_fd : s->audio_rtcp_udp_fd)
                         : (v ? s->video_rtp_udp_fd : s->audio_rtp_udp_fd);
        int port = (v ? s->client_video_rtp_port : s->client_audio_rtp_port) + (fp.rtcp ? 1 : 0);
        if (fd <= 0 || (v ? s->video_rtp_udp_fd : s->audio_rtp_udp_fd) <= 0)
            continue;
        t.udp.fd = fd;
        t.udp.to.sin_family = AF_INET;
        t.udp.to.sin_port = htons((uint16_t)port);
        t.peer_ok = session_peer(s, &t);
        uint32_t dest = fp.rtcp ? 0 : (v ? s->video_rtp_dest : s->audio_rtp_dest);
        t.udp.connected = dest != 0;
        t.udp.named = !t.udp.connected || dest != t.udp.to.sin_addr.s_addr;
        if (t.peer_ok || t.log_peer)
            targets.push_back(t);
    }
    p_chn->sends_in_flight++;
    return unknown_pt;
}

/* Sends the run to every UDP target, with no lock held; true when a send
 * failed.  The messages are laid out for the first target that gets
 * packets and reused for the rest. */
bool send_udp(std::vector<send_target> &targets, const wire_run &w)
{
    thread_local std::unique_ptr<rtsp_udp_msgs, void (*)(rtsp_udp_msgs *)> msgs(
        nullptr, rtsp_udp_msgs_free);
    bool built = false;
    bool any_failed = false;
    for (send_target &t : targets) {
        if (!t.peer_ok || t.out)
            continue;
        if (!built) {
            if (!msgs)
                msgs.reset(rtsp_udp_msgs_new());
            if (!msgs)
                return false;   /* no memory: the run is lost like a datagram */
            rtsp_udp_msgs_build(msgs.get(), w.buf, w.len, w.count);
            built = true;
        }
        t.send_errno = rtsp_udp_send_run(msgs.get(), &t.udp);
        if (t.send_errno != 0)
            t.failed = any_failed = true;
    }
    return any_failed;
}

/* Puts the run into the queue of every TCP target's connection, which
 * never waits on its socket, and lets go of the pass's reference; no
 * channel lock is held.  The queue holds about a second of the channel's
 * media.  True when a connection has failed. */
bool queue_tcp(rtsp_channel_t *p_chn, std::vector<send_target> &targets, const wire_run &w,
               const frame_part &fp)
{
    uint32_t bps = __atomic_load_n(&p_chn->rate_bps, __ATOMIC_RELAXED);
    size_t limit = bps ? (bps > kTcpQueueMin ? bps : kTcpQueueMin) : 0;
    bool any_failed = false;
    for (send_target &t : targets) {
        if (!t.out)
            continue;
        rtsp_ilv_run run = {w.buf, w.len, w.count, t.chan};
        int r = rtsp_tcp_out_media(t.out, &run, fp.part, fp.frame_bytes, fp.key ? 1 : 0, limit);
        if (r < 0) {
            t.failed = any_failed = true;
            t.send_errno = EPIPE;
        } else if (r == 0 && rtsp_tcp_out_take_episode(t.out)) {
            ll_printf(LOG_LEVEL_INFO,
                      "[%s]player on fd %d reads too slowly: its video skips to the next key frame\n",
                      ll_getCurrentTimeStr(), t.fd);
        }
        rtsp_tcp_out_unref(t.out);
        t.out = nullptr;
    }
    return any_failed;
}

/* Ends the pass under mutex_session: marks the sessions whose send failed
 * (only while still linked: another thread may have retired one since the
 * copy) and those a receiver report kept alive, then, on a sweeping pass,
 * moves torn-down, failed and idle sessions to the graveyard.  True when
 * one moved. */
bool finish_pass(rtsp_channel_t *p_chn, const std::vector<send_target> &targets, bool any_failed,
                 bool sweep, uint64_t now)
{
    ll_lock lk(&p_chn->mutex_session);
    if (--p_chn->sends_in_flight == 0)
        pthread_cond_broadcast(&p_chn->cond_sends);
    bool any_alive = false;
    for (const send_target &t : targets)
        any_alive = any_alive || t.alive;
    struct list_head *pos, *n;
    if (any_failed || any_alive)
        list_for_each(pos, &p_chn->list_head_session) {
            session_t *s = list_entry(pos, session_t, list);
            for (const send_target &t : targets) {
                if (t.ses != s)
                    continue;
                if (t.failed)
                    s->status = RTSP_STATUS_ERROR;
                if (t.alive)
                    s->tm_last_access = now;
            }
        }
    if (!sweep)
        return false;
    bool retired = false;
    list_for_each_safe(pos, n, &p_chn->list_head_session) {
        session_t *s = list_entry(pos, session_t, list);
        if (s->status > RTSP_STATUS_PLAY || now > s->tm_last_access + RTSP_SESSION_IDLE_SEC) {
            list_del(&s->list);
            list_add_tail(&s->list, &p_chn->list_head_dead);
            retired = true;
        }
    }
    return retired;
}

/*
 * One delivery pass over the packets of w, all of payload type pt: sends
 * them to every playing session that has the medium's socket or
 * interleaved channel (or to `only`, whether it waits for a key frame or
 * not), then retires the sessions that are torn down, failed, or idle for
 * more than 65 s.  With RTCP, it also reads the receiver reports that
 * players sent to the RTCP sockets since the last ones: each valid one
 * keeps its session alive like a request.
 */
void deliver(rtsp_channel_t *p_chn, int pt, const wire_run &w, const frame_part &fp,
             const session_t *only = nullptr)
{
    const uint64_t now = rtsp_now_sec();
    /* Reused by this thread from pass to pass. */
    thread_local std::vector<send_target> targets;
    targets.clear();
    bool unknown_pt = take_targets(p_chn, pt, fp, only, targets);

    rtsp_pass_hook_fn hook = __atomic_load_n(&g_pass_hook, __ATOMIC_ACQUIRE);
    if (hook)
        hook(p_chn);
    if (unknown_pt)
        LL_LOG(LOG_LEVEL_DEBUG, kSender, "unknow payload type\n");
    for (const send_target &t : targets)
        if (!t.peer_ok)
            LL_LOG(LOG_LEVEL_DEBUG, kSender, "getpeername error, %s\n", strerror(t.peer_errno));

    bool any_failed = send_udp(targets, w);
    if (fp.rtcp)
        for (send_target &t : targets)
            if (!t.out && t.udp.fd > 0)
                t.alive = drain_receiver_reports(t.udp.fd);
    any_failed = queue_tcp(p_chn, targets, w, fp) || any_failed;
    if (any_failed && pt == PAYLOAD_RTP_H264)
        for (const send_target &t : targets)
            if (t.failed)
                LL_LOG(LOG_LEVEL_DEBUG, kSender, "+++++++++send %d failed, %s\n", -1,
                       strerror(t.send_errno));

    if (finish_pass(p_chn, targets, any_failed, fp.sweep, now))
        wake_server(p_chn);
}

/* A frame's packets in wire form, gathered by the packetiser's callback
 * and delivered in passes of up to kBatchMax packets. */
struct frame_batch {
    rtsp_channel_t *chn;
    rtsp_key_cache *cache;   /* also gets every packet, or null */
    int pt;
    frame_part fp;          /* FRAME_START until the first pass went */
    int count;
    size_t used;
    uint16_t len[kBatchMax];
    uint8_t buf[kBatchMax * kWireMax];

    void flush()
    {
        if (count == 0)
            return;
        wire_run w = {buf, len, count};
        deliver(chn, pt, w, fp);
        if (fp.part == RTSP_MEDIA_FRAME_START)
            fp.part = RTSP_MEDIA_FRAME_MORE;
        count = 0;
        used = 0;
    }
};

void emit_to_batch(void *ctx, const rtp_packet *pkt, int payload_size)
{
    frame_batch *b = static_cast<frame_batch *>(ctx);
    if (payload_size <= 0 || payload_size > RTP_PAYLOAD_BUF_SIZE)
        return;
    if (b->count == kBatchMax)
        b->flush();
    b->pt = pkt->header.payload_type;
    uint8_t *out = b->buf + b->used;
    rtp_header_serialize(&pkt->header, out);
    memcpy(out + RTP_HEADER_SIZE, pkt->payload, (size_t)payload_size);
    b->len[b->count++] = (uint16_t)(RTP_HEADER_SIZE + payload_size);
    b->used += RTP_HEADER_SIZE + (size_t)payload_size;
    if (b->pt == PAYLOAD_RTP_H264)
        b->chn->v_packets++, b->chn->v_octets += (uint32_t)payload_size;
    else
        b->chn->a_packets++, b->chn->a_octets += (uint32_t)payload_size;
    rtsp_key_cache_add(b->cache, out, RTP_HEADER_SIZE + (size_t)payload_size);
}

/* Sends the stream's sender report when RTSP_RTCP_SR_MS of capture time
 * passed since the last one: the capture time ts_ms of the media just
 * sent, as NTP time, and the same instant on the stream's RTP clock. */
void maybe_send_sr(rtsp_channel_t *p_chn, bool video, uint64_t ts_ms, uint32_t rtp_ts)
{
    uint64_t *last = video ? &p_chn->v_sr_ms : &p_chn->a_sr_ms;
    uint8_t *set = video ? &p_chn->v_sr_set : &p_chn->a_sr_set;
    uint8_t *now = video ? &p_chn->v_sr_now : &p_chn->a_sr_now;
    bool asked = __atomic_exchange_n(now, 0, __ATOMIC_RELAXED) != 0;
    if (*set && ts_ms < *last + RTSP_RTCP_SR_MS && !asked)
        return;
    *set = 1;
    *last = ts_ms;
    const rtp_header &h = video ? p_chn->video_rtp_pkt.header : p_chn->audio_rtp_pkt.header;
    rtcp_sender_info si;
    si.ssrc = h.ssrc;
    si.ntp = rtcp_ntp_from_ms(ts_ms);
    si.rtp_ts = rtp_ts;
    si.packets = video ? p_chn->v_packets : p_chn->a_packets;
    si.octets = video ? p_chn->v_octets : p_chn->a_octets;
    uint8_t pkt[RTCP_MAX_SIZE];
    int n = rtcp_write_sr(pkt, sizeof(pkt), &si, p_chn->chn_name);
    if (n <= 0)
        return;
    uint16_t len = (uint16_t)n;
    wire_run w = {pkt, &len, 1};
    frame_part fp = {RTSP_MEDIA_OTHER, len, false, false, true};
    deliver(p_chn, video ? PAYLOAD_RTP_H264 : PAYLOAD_RTP_AAC, w, fp);
}

/* True while ses is on the channel's live list (only this thread unlinks
 * from it; the server thread frees what it unlinked). */
bool still_linked(rtsp_channel_t *p_chn, const session_t *ses)
{
    struct list_head *pos;
    list_for_each(pos, &p_chn->list_head_session)
        if (list_entry(pos, session_t, list) == ses)
            return true;
    return false;
}

/* Players that wait for a key frame while the cache holds a recent one get
 * it and every frame since, in passes of their own, and then the live
 * stream from the next frame on. */
void serve_from_key_cache(rtsp_channel_t *p_chn, const rtsp_key_cache *kc)
{
    const uint8_t *buf = nullptr;
    const uint16_t *lens = nullptr;
    size_t n = rtsp_key_cache_packets(kc, &buf, &lens);
    if (n == 0)
        return;
    std::vector<session_t *> late;
    {
        ll_lock lk(&p_chn->mutex_session);
        struct list_head *pos;
        list_for_each(pos, &p_chn->list_head_session) {
            session_t *s = list_entry(pos, session_t, list);
            if (s->wait_key && s->status == RTSP_STATUS_PLAY &&
                (s->rtp_trans_type == TRANS_RTP_AVP || s->rtp_trans_type == TRANS_RTP_AVP_TCP))
                late.push_back(s);
        }
    }
    /* For a TCP queue the frames go as one unit that starts with a key
     * frame: all of them, or none. */
    size_t total = 0;
    for (size_t i = 0; i < n; i++)
        total += lens[i] + RTSP_ILV_HEADER;
    for (session_t *s : late) {
        size_t off = 0;
        frame_part fp = {RTSP_MEDIA_FRAME_START, total, true, true, false};
        for (size_t i = 0; i < n; i += kBatchMax) {
            int k = (int)(n - i < (size_t)kBatchMax ? n - i : (size_t)kBatchMax);
            wire_run w = {buf + off, lens + i, k};
            deliver(p_chn, PAYLOAD_RTP_H264, w, fp, s);
            fp.part = RTSP_MEDIA_FRAME_MORE;
            for (int j = 0; j < k; j++)
                off += lens[i + (size_t)j];
        }
        ll_lock lk(&p_chn->mutex_session);
        if (still_linked(p_chn, s))
            s->wait_key = 0;
    }
}

/* The calling media thread's batch, set up for one frame of `chn`.  Each
 * thread keeps its own, so a frame is built without allocating. */
frame_batch *thread_batch(rtsp_channel_t *chn, rtsp_key_cache *cache, int pt)
{
    thread_local std::unique_ptr<frame_batch> batch;
    if (!batch)
        batch.reset(new frame_batch);
    frame_batch *b = batch.get();
    b->chn = chn;
    b->cache = cache;
    b->pt = pt;
    return b;
}

}  // namespace

extern "C" void rtsp__set_pass_hook(rtsp_pass_hook_fn fn)
{
    __atomic_store_n(&g_pass_hook, fn, __ATOMIC_RELEASE);
}

extern "C" int rtsp_send_rtp_packet(rtsp_channel_t *p_chn, const rtp_packet *rtppack,
                                    int payload_size)
{
    if (!p_chn || !rtppack || payload_size <= 0 || payload_size > RTP_PAYLOAD_BUF_SIZE)
        return -1;
    /* One wire copy per pass, shared by every session. */
    uint8_t wire[kWireMax];
    rtp_header_serialize(&rtppack->header, wire);
    memcpy(wire + RTP_HEADER_SIZE, rtppack->payload, (size_t)payload_size);
    uint16_t len = (uint16_t)(RTP_HEADER_SIZE + payload_size);
    wire_run w = {wire, &len, 1};
    frame_part fp = {RTSP_MEDIA_OTHER, len, false, true, false};
    deliver(p_chn, rtppack->header.payload_type, w, fp);
    return 0;
}

extern "C" void rtsp_process_video_frame(rtsp_channel_t *p_chn, const uint8_t *pframe,
                                         uint32_t frame_size, uint64_t ts)
{
    if (!p_chn || !pframe)
        return;
    rtsp_key_cache *kc = static_cast<rtsp_key_cache *>(p_chn->key_cache);
    if (!kc)
        p_chn->key_cache = kc = rtsp_key_cache_new(RTSP_KEY_CACHE_WINDOW_MS, RTSP_KEY_CACHE_MAX_BYTES);
    const bool key = rtp_h264_frame_is_key(pframe, frame_size) != 0;
    /* The stream's rate, over windows of a second of capture time. */
    if (p_chn->rate_win_ms == 0 || ts < p_chn->rate_win_ms) {
        p_chn->rate_win_ms = ts;
        p_chn->rate_win_bytes = 0;
    }
    p_chn->rate_win_bytes += frame_size;
    if (ts >= p_chn->rate_win_ms + 1000) {
        uint64_t bps = p_chn->rate_win_bytes * 1000 / (ts - p_chn->rate_win_ms);
        __atomic_store_n(&p_chn->rate_bps, (uint32_t)(bps < UINT32_MAX ? bps : UINT32_MAX),
                         __ATOMIC_RELAXED);
        p_chn->rate_win_ms = ts;
        p_chn->rate_win_bytes = 0;
    }
    if (!key)
        serve_from_key_cache(p_chn, kc);
    rtsp_key_cache_frame(kc, key, ts, rtsp_mono_ms());
    if (key) {
        ll_lock lk(&p_chn->mutex_session);
        struct list_head *pos;
        list_for_each(pos, &p_chn->list_head_session) {
            session_t *s = list_entry(pos, session_t, list);
            if (s->status == RTSP_STATUS_PLAY)
                s->wait_key = 0;
        }
    }
    /* The frame's packets are built once, in wire form, and delivered
     * together: one pass (and one sweep) per frame, not per packet. */
    frame_batch *b = thread_batch(p_chn, kc, PAYLOAD_RTP_H264);
    /* The frame's wire size with its interleaved headers, near enough:
     * about one packet per 1400 bytes. */
    size_t pkts = frame_size / RTP_MAX_NAL_PAYLOAD + 1;
    b->fp = {RTSP_MEDIA_FRAME_START, frame_size + pkts * (RTP_HEADER_SIZE + 4 + 2), key, true,
             false};
    b->count = 0;
    b->used = 0;
    rtp_video_state st = {&p_chn->video_rtp_pkt.header, &p_chn->v_ts, &p_chn->v_ts_set};
    if (rtp_packetize_h264(&st, pframe, frame_size, ts, emit_to_batch, b) > 0) {
        b->flush();
        maybe_send_sr(p_chn, true, ts, p_chn->video_rtp_pkt.header.ts);
    }
}

extern "C" void rtsp_serve_recent_key(rtsp_channel_t *p_chn)
{
    const rtsp_key_cache *kc = p_chn ? static_cast<rtsp_key_cache *>(p_chn->key_cache) : nullptr;
    if (rtsp_key_cache_recent(kc, rtsp_mono_ms()))
        serve_from_key_cache(p_chn, kc);
}

extern "C" void rtsp_channel_release_media(rtsp_channel_t *p_chn)
{
    if (!p_chn)
        return;
    rtsp_key_cache_free(static_cast<rtsp_key_cache *>(p_chn->key_cache));
    p_chn->key_cache = nullptr;
}

extern "C" void rtsp_process_audio_frame(rtsp_channel_t *p_chn, const uint8_t *frame,
                                         uint32_t frame_size, uint64_t ts)
{
    if (!p_chn || !frame)
        return;
    frame_batch *b = thread_batch(p_chn, nullptr, PAYLOAD_RTP_AAC);
    /* The video thread sweeps; a channel without one is swept here. */
    b->fp = {RTSP_MEDIA_OTHER, frame_size, false, !p_chn->has_video_th, false};
    b->count = 0;
    b->used = 0;
    rtp_audio_state st = {&p_chn->audio_rtp_pkt.header, p_chn->audio_info.sample_rate,
                          &p_chn->a_first_ms, &p_chn->a_first_set};
    if (rtp_packetize_aac(&st, frame, frame_size, ts, emit_to_batch, b) > 0) {
        b->flush();
        uint64_t rel = ts - p_chn->a_first_ms;
        maybe_send_sr(p_chn, false, ts,
                      (uint32_t)(rel * (uint64_t)p_chn->audio_info.sample_rate / 1000));
    }
}

extern "C" void *rtsp_chn_audio_main(void *arg)
{
    rtsp_channel_t *p_chn = static_cast<rtsp_channel_t *>(arg);
    if (!p_chn)
        return nullptr;
    unsigned char *frame = static_cast<unsigned char *>(malloc(DOVU_STREAM_BUF_SIZE));
    if (!frame) {
        LL_LOG(LOG_LEVEL_ERROR, __func__, "malloc frame failed\n");
        return nullptr;
    }
    /* The source keeps its frames queued for every reader: start at the
     * newest, then ask each time for the one after the last sent. */
    unsigned long long last = DOVU_AUDIO_NEWEST;
    while (!__atomic_load_n(&p_chn->quit, __ATOMIC_ACQUIRE)) {
        unsigned int size = 0;
        unsigned long long ts = last;
        dovu_get_audio_stream_data(p_chn->src, p_chn->src_ahandle, frame, &size, &ts);
        if (size == 0 || size > DOVU_STREAM_BUF_SIZE ||
            (last != DOVU_AUDIO_NEWEST && ts <= last)) {
            usleep(10000);
            continue;
        }
        rtsp_process_audio_frame(p_chn, frame, size, ts);
        last = ts;
    }
    free(frame);
    return nullptr;
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
        LL_LOG(LOG_LEVEL_ERROR, __func__, "malloc frame failed\n");
        return nullptr;
    }
    __atomic_store_n(&p_chn->is_running, 1, __ATOMIC_RELEASE);
    ll_printf(LOG_LEVEL_INFO, "[%s]++++++++++++++ channel [ %s ] is alive! ++++++++++++++++++++\n",
              ll_getCurrentTimeStr(), p_chn->chn_name);

    while (!__atomic_load_n(&p_chn->quit, __ATOMIC_ACQUIRE)) {
        frame_size = 0;
        dovu_get_video_stream_data(p_chn->src, p_chn->src_vhandle, frame, &frame_size, &ts);
        if (frame_size == 0 || ts <= ts_last || frame_size > DOVU_STREAM_BUF_SIZE) {
            /* A player that started just after a key frame need not wait
             * for the next frame to get it. */
            rtsp_serve_recent_key(p_chn);
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
