/*
 * rtsp_rtp_aac.h - AAC in RTP (RFC 3640, mpeg4-generic, mode AAC-hbr).
 *
 * Pure functions: the AudioSpecificConfig of the session description, the
 * split of a source buffer into ADTS frames, and the packetiser that turns
 * the frames into RTP packets for a caller's callback.
 */
#ifndef RTSP_RTP_AAC_H
#define RTSP_RTP_AAC_H

#include <stddef.h>
#include <stdint.h>

#include "rtsp_rtp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Samples per AAC frame. */
#define AAC_FRAME_SAMPLES 1024

/* AudioSpecificConfig of AAC-LC at sample_rate with channels (1..7), as
 * the two bytes of the fmtp "config" (ISO 14496-3 1.6.2.1); -1 for a rate
 * without a sampling frequency index. */
int rtp_aac_config(int sample_rate, int channels);

/* One ADTS frame at buf[0..n): the length of its header (7, or 9 with a
 * CRC) in *hdr and of the whole frame in *frame.  1, or 0 when buf does
 * not start with a whole, valid ADTS frame. */
int rtp_aac_adts_frame(const uint8_t *buf, size_t n, size_t *hdr, size_t *frame);

/* Running state of one RTP audio stream. */
typedef struct rtp_audio_state {
    rtp_header *hdr;        /* template: seq and ts advance here */
    int sample_rate;        /* RTP clock rate */
    uint64_t *first_ms;     /* capture ms of RTP time 0 */
    uint8_t *first_set;
} rtp_audio_state;

/*
 * Packetises a buffer of ADTS frames captured at ts_ms (the first frame's
 * time; each next one AAC_FRAME_SAMPLES later).  The RTP time is the
 * capture time on the stream's clock, counted from its first buffer.  The
 * raw frames go as access units, as many as fit in one packet (an
 * AU-header of 13 bits size and 3 bits index each); a frame larger than a
 * packet goes in fragments (RFC 3640 3.2.3).  The marker is set on every
 * packet that ends an access unit.  A buffer that does not start with an
 * ADTS frame is dropped.  Returns the number of packets emitted.
 */
int rtp_packetize_aac(rtp_audio_state *st, const uint8_t *buf, size_t n, uint64_t ts_ms,
                      rtp_emit_fn emit, void *ctx);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_RTP_AAC_H */
