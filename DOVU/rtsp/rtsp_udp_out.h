/*
 * rtsp_udp_out.h - sending a run of RTP or RTCP packets to UDP peers.
 *
 * A delivery pass lays a run of wire packets out once as sendmmsg
 * messages and sends the same messages to every UDP peer of the pass, one
 * system call per peer.  Where the kernel offers UDP segmentation offload,
 * packets of equal size that follow each other (the FU-A fragments of a
 * NAL unit, the last one possibly shorter) travel as one message that the
 * kernel cuts into the same datagrams.  Whether it does is probed once, by
 * looking at what arrives over loopback: a kernel before 4.18 ignores the
 * segment size it does not know and sends the whole run as one datagram of
 * tens of kilobytes, with no error.  A send the kernel refuses to segment
 * switches offload off for the process and goes on one packet per message.
 * The datagrams on the wire are the same in every case.
 *
 * A message set belongs to one thread at a time; the offload setting is
 * process-wide and atomic.
 */
#ifndef RTSP_UDP_OUT_H
#define RTSP_UDP_OUT_H

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Packets of one run at most. */
#define RTSP_UDP_RUN_MAX 64

/* Where one peer's packets go. */
typedef struct rtsp_udp_dest {
    int fd;
    struct sockaddr_in to;
    int named;       /* messages name `to`; 0: fd's connected peer */
    int connected;   /* fd is connected: sends report ICMP errors of earlier datagrams */
} rtsp_udp_dest;

/* The messages of one run, reused from pass to pass. */
typedef struct rtsp_udp_msgs rtsp_udp_msgs;

/* Null without memory. */
rtsp_udp_msgs *rtsp_udp_msgs_new(void);
void rtsp_udp_msgs_free(rtsp_udp_msgs *m);

/* Lays out count (1..RTSP_UDP_RUN_MAX) packets, packet i being lens[i]
 * bytes of buf, back to back; buf and lens must outlive the sends. */
void rtsp_udp_msgs_build(rtsp_udp_msgs *m, const uint8_t *buf, const uint16_t *lens, int count);

/* Sends every packet of the run to d.  An ICMP error that a connected
 * socket reports for an earlier datagram costs the message it refused one
 * retry, as over an unconnected socket the stream goes on.  0, or the
 * errno of a send that failed otherwise. */
int rtsp_udp_send_run(rtsp_udp_msgs *m, const rtsp_udp_dest *d);

/* Sends two segments in one UDP segmentation offload message over
 * loopback with send_fn (sendmsg when null) and looks at what arrives: 1
 * when the kernel cut them into two datagrams.  Runs are offloaded only
 * after it said 1, once per process. */
typedef ssize_t (*rtsp_sendmsg_fn)(int fd, const struct msghdr *msg, int flags);
int rtsp_udp_gso_probe(rtsp_sendmsg_fn send_fn);

/* Test seam: whether runs of equal-size packets go to the kernel's
 * segmentation offload (1; by default what the probe found) or one
 * message per packet (0).  Returns the previous setting. */
int rtsp__set_udp_gso(int enable);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_UDP_OUT_H */
