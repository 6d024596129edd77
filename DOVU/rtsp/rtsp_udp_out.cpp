/*
 * rtsp_udp_out.cpp - sending a run of RTP or RTCP packets to UDP peers,
 * with UDP segmentation offload where the kernel really does it.
 */
#include "rtsp_udp_out.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef SOL_UDP
#define SOL_UDP 17
#endif

namespace {

/* Segments of one offloaded message: below the kernel's segment limit and
 * the 64 KiB of an IP packet. */
constexpr int kGsoMaxSegs = 40;

/* Whether runs of equal packets go through UDP segmentation offload
 * (atomic): -1 until the probe has run, then 1 or 0. */
int g_udp_gso = -1;
pthread_once_t g_gso_once = PTHREAD_ONCE_INIT;

constexpr size_t kProbeSeg = 100;

/* Sends two 100-byte segments in one offloaded message to a loopback
 * socket; 1 when exactly two datagrams of 100 bytes, in order, arrive. */
int gso_probe(rtsp_sendmsg_fn send_fn)
{
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int verdict = 0;
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof(a);
    if (rx >= 0 && tx >= 0 && bind(rx, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)) == 0 &&
        getsockname(rx, reinterpret_cast<struct sockaddr *>(&a), &alen) == 0) {
        uint8_t buf[2 * kProbeSeg];
        for (size_t i = 0; i < sizeof(buf); i++)
            buf[i] = (uint8_t)(i / kProbeSeg + 1);
        struct iovec iov = {buf, sizeof(buf)};
        union {
            char b[CMSG_SPACE(sizeof(uint16_t))];
            struct cmsghdr align;
        } ctl;
        memset(&ctl, 0, sizeof(ctl));
        struct msghdr m;
        memset(&m, 0, sizeof(m));
        m.msg_name = &a;
        m.msg_namelen = sizeof(a);
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = ctl.b;
        m.msg_controllen = sizeof(ctl.b);
        struct cmsghdr *c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        uint16_t seg = kProbeSeg;
        memcpy(CMSG_DATA(c), &seg, sizeof(seg));
        if (send_fn(tx, &m, MSG_NOSIGNAL) == (ssize_t)sizeof(buf)) {
            /* Loopback queues what it delivers before the send returns. */
            uint8_t got[sizeof(buf)];
            ssize_t n1 = recv(rx, got, sizeof(got), 0);
            bool first = n1 == (ssize_t)kProbeSeg && got[0] == 1;
            ssize_t n2 = recv(rx, got, sizeof(got), 0);
            bool second = n2 == (ssize_t)kProbeSeg && got[0] == 2;
            verdict = first && second && recv(rx, got, sizeof(got), 0) < 0;
        }
    }
    if (rx >= 0)
        close(rx);
    if (tx >= 0)
        close(tx);
    return verdict;
}

void gso_probe_once()
{
    int expected = -1;
    __atomic_compare_exchange_n(&g_udp_gso, &expected, gso_probe(sendmsg), false, __ATOMIC_RELAXED,
                                __ATOMIC_RELAXED);
}

bool udp_gso_enabled()
{
    if (__atomic_load_n(&g_udp_gso, __ATOMIC_RELAXED) < 0)
        pthread_once(&g_gso_once, gso_probe_once);
    return __atomic_load_n(&g_udp_gso, __ATOMIC_RELAXED) > 0;
}

bool gso_refused(int err)
{
    return err == EIO || err == EINVAL || err == ENOPROTOOPT || err == EOPNOTSUPP;
}

/* Errors that a connected UDP socket reports for an ICMP message about an
 * earlier datagram; the send that reports one sent nothing.  An unconnected
 * socket never sees them and sends on. */
bool icmp_reported(int err)
{
    return err == ECONNREFUSED || err == EHOSTUNREACH || err == ENETUNREACH ||
           err == EHOSTDOWN || err == ENETDOWN || err == EPROTO;
}

}  // namespace

/* One message per packet, or per run of equal packets (cut by the kernel
 * into datagrams of the first one's size) when gso is set. */
struct rtsp_udp_msgs {
    const uint8_t *buf;
    const uint16_t *lens;
    int count;
    bool gso;
    int n;
    int first_pkt[RTSP_UDP_RUN_MAX];
    struct iovec iov[RTSP_UDP_RUN_MAX];
    struct mmsghdr msg[RTSP_UDP_RUN_MAX];
    union {
        char buf[CMSG_SPACE(sizeof(uint16_t))];
        struct cmsghdr align;
    } ctl[RTSP_UDP_RUN_MAX];
};

namespace {

void lay_out(rtsp_udp_msgs *m)
{
    m->n = 0;
    size_t off = 0;
    int i = 0;
    while (i < m->count) {
        int k = 1;
        size_t bytes = m->lens[i];
        if (m->gso) {
            /* Equal sizes, and a last one that may be shorter. */
            while (i + k < m->count && k < kGsoMaxSegs && m->lens[i + k] <= m->lens[i]) {
                bytes += m->lens[i + k];
                k++;
                if (m->lens[i + k - 1] < m->lens[i])
                    break;
            }
        }
        int j = m->n++;
        m->first_pkt[j] = i;
        m->iov[j].iov_base = const_cast<uint8_t *>(m->buf + off);
        m->iov[j].iov_len = bytes;
        struct msghdr &h = m->msg[j].msg_hdr;
        memset(&m->msg[j], 0, sizeof(m->msg[j]));
        h.msg_iov = &m->iov[j];
        h.msg_iovlen = 1;
        if (k > 1) {
            memset(&m->ctl[j], 0, sizeof(m->ctl[j]));
            h.msg_control = m->ctl[j].buf;
            h.msg_controllen = sizeof(m->ctl[j].buf);
            struct cmsghdr *c = CMSG_FIRSTHDR(&h);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            uint16_t seg = m->lens[i];
            memcpy(CMSG_DATA(c), &seg, sizeof(seg));
        }
        off += bytes;
        i += k;
    }
}

void address_msgs(rtsp_udp_msgs *m, const rtsp_udp_dest *d)
{
    for (int j = 0; j < m->n; j++) {
        m->msg[j].msg_hdr.msg_name = d->named ? const_cast<struct sockaddr_in *>(&d->to) : nullptr;
        m->msg[j].msg_hdr.msg_namelen = d->named ? sizeof(d->to) : 0;
    }
}

}  // namespace

extern "C" rtsp_udp_msgs *rtsp_udp_msgs_new(void)
{
    rtsp_udp_msgs *m = new (std::nothrow) rtsp_udp_msgs;
    if (m) {
        m->count = 0;
        m->n = 0;
    }
    return m;
}

extern "C" void rtsp_udp_msgs_free(rtsp_udp_msgs *m)
{
    delete m;
}

extern "C" void rtsp_udp_msgs_build(rtsp_udp_msgs *m, const uint8_t *buf, const uint16_t *lens,
                                    int count)
{
    m->buf = buf;
    m->lens = lens;
    m->count = count < 0 ? 0 : count > RTSP_UDP_RUN_MAX ? RTSP_UDP_RUN_MAX : count;
    m->gso = udp_gso_enabled();
    lay_out(m);
}

extern "C" int rtsp_udp_send_run(rtsp_udp_msgs *m, const rtsp_udp_dest *d)
{
    address_msgs(m, d);
    int sent = 0;
    int retried = -1;   /* the message last sent again after an ICMP report */
    while (sent < m->n) {
        int r = sendmmsg(d->fd, m->msg + sent, (unsigned)(m->n - sent), MSG_NOSIGNAL);
        if (r > 0) {
            sent += r;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        int err = r < 0 ? errno : EIO;
        if (d->connected && icmp_reported(err)) {
            /* Sent again once; should a newer report refuse it too, it is
             * lost like any datagram to that player. */
            if (retried != sent)
                retried = sent;
            else
                sent++;
            continue;
        }
        if (m->gso && m->msg[sent].msg_hdr.msg_control && gso_refused(err)) {
            /* Segmentation refused: from here on one packet per message,
             * for this peer, the pass's next ones and later passes. */
            __atomic_store_n(&g_udp_gso, 0, __ATOMIC_RELAXED);
            int resume = m->first_pkt[sent];
            m->gso = false;
            lay_out(m);
            address_msgs(m, d);
            sent = resume;
            retried = -1;
            continue;
        }
        return err;
    }
    return 0;
}

extern "C" int rtsp_udp_gso_probe(rtsp_sendmsg_fn send_fn)
{
    return gso_probe(send_fn ? send_fn : sendmsg);
}

extern "C" int rtsp__set_udp_gso(int enable)
{
    int was = udp_gso_enabled() ? 1 : 0;
    __atomic_store_n(&g_udp_gso, enable ? 1 : 0, __ATOMIC_RELAXED);
    return was;
}
