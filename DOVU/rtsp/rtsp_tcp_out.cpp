/*
 * rtsp_tcp_out.cpp - the send queue of an RTSP connection.
 *
 * LOCK: rtsp_tcp_out.mutex guards every field but refs (atomic).  It is
 * held around the non-blocking sends on the descriptor, so bytes of two
 * writers never mix and the descriptor is not closed under a send; no
 * other lock is taken while it is held, and nothing is logged under it.
 */
#include "rtsp_tcp_out.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "rtsp_interleave.h"
#include "ll_lock.h"

struct rtsp_tcp_out {
    int refs = 1;               /* atomic */
    /* Guards every field below: the media threads queue, the server thread
     * flushes and closes. */
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    int fd = -1;                /* -1 once closed */
    bool failed = false;        /* a send failed: the connection is lost */
    bool blocked = false;       /* the socket refused bytes; wait for the flush */
    int epfd = -1;              /* the server's epoll, or -1 */
    uint32_t events = 0;        /* fd's events there without EPOLLOUT */
    bool armed = false;         /* EPOLLOUT is on */
    size_t limit = 0;
    std::vector<uint8_t> buf;   /* queued bytes are buf[head..] */
    size_t head = 0;
    bool dropping_frame = false;  /* the current video frame is being dropped */
    bool need_key = false;      /* video resumes at a key frame */
    bool episode = false;       /* need_key was set and nobody asked yet */
    uint64_t frames_dropped = 0;
    uint64_t runs_dropped = 0;
};

namespace {

constexpr int kMaxIov = 256;

size_t queued(const rtsp_tcp_out *o)
{
    return o->buf.size() - o->head;
}

void append(rtsp_tcp_out *o, const void *p, size_t n)
{
    if (o->head > 0 && o->head >= o->buf.size() / 2) {
        o->buf.erase(o->buf.begin(), o->buf.begin() + (long)o->head);
        o->head = 0;
    }
    const uint8_t *b = static_cast<const uint8_t *>(p);
    o->buf.insert(o->buf.end(), b, b + n);
}

/* One non-blocking send: bytes sent, 0 when the socket is full, -1 on
 * failure (marks the queue failed). */
ssize_t send_iov(rtsp_tcp_out *o, struct iovec *iov, int n)
{
    struct msghdr h;
    memset(&h, 0, sizeof(h));
    h.msg_iov = iov;
    h.msg_iovlen = (size_t)n;
    for (;;) {
        ssize_t r = sendmsg(o->fd, &h, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            o->blocked = true;
            return 0;
        }
        o->failed = true;
        return -1;
    }
}

/* EPOLLOUT on while bytes wait, off once they went. */
void arm(rtsp_tcp_out *o, bool on)
{
    if (o->epfd < 0 || o->fd < 0 || o->armed == on)
        return;
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = o->events | (on ? (uint32_t)EPOLLOUT : 0u);
    ev.data.fd = o->fd;
    if (epoll_ctl(o->epfd, EPOLL_CTL_MOD, o->fd, &ev) == 0)
        o->armed = on;
}

/* Sends queued bytes while the socket takes them. */
int drain(rtsp_tcp_out *o)
{
    while (queued(o) > 0 && !o->blocked) {
        struct iovec iov = {o->buf.data() + o->head, queued(o)};
        ssize_t r = send_iov(o, &iov, 1);
        if (r < 0)
            return -1;
        o->head += (size_t)r;
    }
    if (queued(o) == 0) {
        o->buf.clear();
        o->head = 0;
    }
    arm(o, queued(o) > 0);
    return 0;
}

/* Writes a run: straight to the socket when nothing waits, the rest into
 * the queue. */
int write_run(rtsp_tcp_out *o, const rtsp_ilv_run *run)
{
    int i = 0;
    size_t off = 0;
    uint8_t hdrs[kMaxIov / 2][RTSP_ILV_HEADER_SIZE];
    if (queued(o) == 0 && !o->blocked) {
        while (i < run->count) {
            struct iovec iov[kMaxIov];
            int n = 0, first = i;
            size_t bytes = 0, off0 = off;
            for (; i < run->count && n + 2 <= kMaxIov; i++) {
                uint8_t *h = hdrs[n / 2];
                rtsp_interleave_header(h, run->channel, run->lens[i]);
                iov[n].iov_base = h;
                iov[n].iov_len = RTSP_ILV_HEADER_SIZE;
                iov[n + 1].iov_base = const_cast<uint8_t *>(run->buf + off);
                iov[n + 1].iov_len = run->lens[i];
                n += 2;
                bytes += RTSP_ILV_HEADER_SIZE + run->lens[i];
                off += run->lens[i];
            }
            ssize_t r = send_iov(o, iov, n);
            if (r < 0)
                return -1;
            if ((size_t)r == bytes)
                continue;
            /* Queue the part of the batch the socket did not take, then
             * every packet after it. */
            size_t left = (size_t)r;
            size_t poff = off0;
            for (int k = first; k < i; k++) {
                uint8_t h[RTSP_ILV_HEADER_SIZE];
                rtsp_interleave_header(h, run->channel, run->lens[k]);
                size_t plen = run->lens[k];
                if (left >= RTSP_ILV_HEADER_SIZE + plen) {
                    left -= RTSP_ILV_HEADER_SIZE + plen;
                } else {
                    if (left < RTSP_ILV_HEADER_SIZE) {
                        append(o, h + left, RTSP_ILV_HEADER_SIZE - left);
                        append(o, run->buf + poff, plen);
                    } else {
                        size_t done = left - RTSP_ILV_HEADER_SIZE;
                        append(o, run->buf + poff + done, plen - done);
                    }
                    left = 0;
                }
                poff += plen;
            }
            break;
        }
    }
    for (; i < run->count; i++) {
        uint8_t h[RTSP_ILV_HEADER_SIZE];
        rtsp_interleave_header(h, run->channel, run->lens[i]);
        append(o, h, sizeof(h));
        append(o, run->buf + off, run->lens[i]);
        off += run->lens[i];
    }
    return 0;
}

size_t run_bytes(const rtsp_ilv_run *run)
{
    size_t n = 0;
    for (int i = 0; i < run->count; i++)
        n += RTSP_ILV_HEADER_SIZE + run->lens[i];
    return n;
}

}  // namespace

extern "C" {

rtsp_tcp_out *rtsp_tcp_out_new(int fd, size_t media_limit, int epfd, uint32_t events)
{
    rtsp_tcp_out *o = new (std::nothrow) rtsp_tcp_out;
    if (!o)
        return nullptr;
    o->fd = fd;
    o->epfd = epfd;
    o->events = events;
    o->limit = media_limit;
    return o;
}

void rtsp_tcp_out_ref(rtsp_tcp_out *o)
{
    if (o)
        __atomic_add_fetch(&o->refs, 1, __ATOMIC_RELAXED);
}

void rtsp_tcp_out_unref(rtsp_tcp_out *o)
{
    if (!o || __atomic_sub_fetch(&o->refs, 1, __ATOMIC_ACQ_REL) != 0)
        return;
    pthread_mutex_destroy(&o->mutex);
    delete o;
}

void rtsp_tcp_out_close(rtsp_tcp_out *o)
{
    if (!o)
        return;
    ll_lock lk(&o->mutex);
    o->fd = -1;
    std::vector<uint8_t>().swap(o->buf);
    o->head = 0;
}

int rtsp_tcp_out_reply(rtsp_tcp_out *o, const void *buf, size_t len)
{
    if (!o || !buf)
        return -1;
    ll_lock lk(&o->mutex);
    if (o->fd < 0 || o->failed)
        return -1;
    if (queued(o) == 0 && !o->blocked) {
        struct iovec iov = {const_cast<void *>(buf), len};
        ssize_t r = send_iov(o, &iov, 1);
        if (r < 0)
            return -1;
        if ((size_t)r < len)
            append(o, static_cast<const uint8_t *>(buf) + r, len - (size_t)r);
    } else {
        append(o, buf, len);
    }
    arm(o, queued(o) > 0);
    return 0;
}

int rtsp_tcp_out_media(rtsp_tcp_out *o, const rtsp_ilv_run *run, rtsp_media_part part,
                       size_t frame_bytes, int key, size_t limit)
{
    if (!o || !run || run->count < 0)
        return -1;
    ll_lock lk(&o->mutex);
    if (o->fd < 0 || o->failed)
        return -1;
    if (limit == 0)
        limit = o->limit;
    if (part == RTSP_MEDIA_FRAME_START) {
        bool fits = queued(o) == 0 || queued(o) + frame_bytes <= limit;
        if (o->need_key && !key) {
            o->dropping_frame = true;
        } else if (!fits) {
            o->dropping_frame = true;
            o->episode = o->episode || !o->need_key;
            o->need_key = true;
        } else {
            o->dropping_frame = false;
            o->need_key = false;
        }
        if (o->dropping_frame) {
            o->frames_dropped++;
            return 0;
        }
    } else if (part == RTSP_MEDIA_FRAME_MORE) {
        if (o->dropping_frame)
            return 0;
    } else if (queued(o) > 0 && queued(o) + run_bytes(run) > limit) {
        o->runs_dropped++;
        return 0;
    }
    if (write_run(o, run) != 0)
        return -1;
    arm(o, queued(o) > 0);
    return 1;
}

int rtsp_tcp_out_take_episode(rtsp_tcp_out *o)
{
    if (!o)
        return 0;
    ll_lock lk(&o->mutex);
    bool e = o->episode;
    o->episode = false;
    return e ? 1 : 0;
}

int rtsp_tcp_out_flush(rtsp_tcp_out *o)
{
    if (!o)
        return -1;
    ll_lock lk(&o->mutex);
    if (o->fd < 0 || o->failed)
        return -1;
    o->blocked = false;
    return drain(o);
}

void rtsp_tcp_out_get_stats(rtsp_tcp_out *o, rtsp_tcp_out_stats *st)
{
    if (!o || !st)
        return;
    ll_lock lk(&o->mutex);
    st->queued = queued(o);
    st->frames_dropped = o->frames_dropped;
    st->runs_dropped = o->runs_dropped;
}

}  // extern "C"
