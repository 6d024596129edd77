/*
 * rtsp_rtp.h - H.264 RTP packetisation (RFC 6184).
 *
 * The packetiser is a pure function: it cuts an Annex B frame into RTP
 * packets and hands each one to a caller's callback, holding no socket.
 * Delivery to the sessions is rtsp_deliver.h.
 */
#ifndef RTSP_RTP_H
#define RTSP_RTP_H

#include <stddef.h>
#include <stdint.h>

#include "dovu_rtsp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Wire size of the RTP fixed header. */
#define RTP_HEADER_SIZE 12

/* Receives one packet: pkt's header (host byte order) and the first
 * payload_size bytes of its payload. */
typedef void (*rtp_emit_fn)(void *ctx, const rtp_packet *pkt, int payload_size);

/* Running state of one RTP video stream. */
typedef struct rtp_video_state {
    rtp_header *hdr;        /* template: seq and ts advance here */
    uint64_t *last_ms;      /* source ms of the last packetised frame */
    uint8_t *last_ms_set;   /* *last_ms is valid */
} rtp_video_state;

/*
 * Packetises one Annex B frame: every NAL unit between start codes
 * (3 or 4 bytes) travels on its own, as a single NAL unit packet when it
 * has at most 1401 bytes and as FU-A fragments (RFC 6184 5.8) beyond.
 * All packets carry the frame's 90 kHz time stamp; the marker bit is set
 * on the last packet of the frame only.  A frame that does not begin with
 * a start code, or holds no NAL unit, is dropped and changes nothing.
 * Returns the number of packets emitted.
 */
int rtp_packetize_h264(rtp_video_state *st, const uint8_t *frame, size_t frame_size,
                       uint64_t ts_ms, rtp_emit_fn emit, void *ctx);

/* 1 when the Annex B frame holds an IDR slice or a sequence parameter set
 * (NAL types 5 or 7): a decoder can start with it. */
int rtp_h264_frame_is_key(const uint8_t *frame, size_t frame_size);

/* Writes the wire form of the header (network byte order) into out[12]. */
void rtp_header_serialize(const rtp_header *hdr, uint8_t out[RTP_HEADER_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_RTP_H */
