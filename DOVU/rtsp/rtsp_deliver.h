/*
 * rtsp_deliver.h - delivery of RTP packets to the playing sessions of a
 * channel, and the channel's video thread.
 *
 * The channel's video and audio threads feed the packetisers (rtsp_rtp.h,
 * rtsp_rtp_aac.h) frames from the source and gather a frame's packets in
 * wire form; one delivery pass then sends them to every playing session,
 * over UDP (rtsp_udp_out.h) or into its RTSP connection's queue
 * (rtsp_tcp_out.h), and retires finished or idle sessions.
 */
#ifndef RTSP_DELIVER_H
#define RTSP_DELIVER_H

#include <stddef.h>
#include <stdint.h>

#include "dovu_rtsp.h"
#include "rtsp_rtp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Body of a channel's video thread. */
void *rtsp_chn_video_main(void *arg);

/* Packetises one frame of the channel and delivers its packets, all of a
 * frame in one delivery pass (up to 64 packets per pass).  Playing
 * sessions that wait for a key frame get video from the first key frame on:
 * the channel's latest one when it came at most 500 ms (source time)
 * before this frame, with every frame since, or else the next one. */
void rtsp_process_video_frame(rtsp_channel_t *p_chn, const uint8_t *pframe, uint32_t frame_size,
                              uint64_t ts);

/* Between frames: players that wait for a key frame get the channel's
 * latest one, with every frame since, when it was taken at most 500 ms ago
 * (video thread). */
void rtsp_serve_recent_key(rtsp_channel_t *p_chn);

/* Frees what the channel's video thread kept between frames (the recent
 * key frame); for the channel's owner once the thread has ended. */
void rtsp_channel_release_media(rtsp_channel_t *p_chn);

/* One delivery pass: sends the packet to every playing session and
 * retires sessions torn down, failed or idle for more than 65 s.  A frame
 * goes out in passes of many packets (rtsp_process_video_frame); this one
 * sends a single packet.
 * 0, or -1 for a null channel or packet or a payload size <= 0. */
int rtsp_send_rtp_packet(rtsp_channel_t *p_chn, const rtp_packet *rtppack, int payload_size);

/* Test seam: called by a delivery pass between copying the descriptors
 * it sends on and sending (null: none). */
typedef void (*rtsp_pass_hook_fn)(rtsp_channel_t *p_chn);
void rtsp__set_pass_hook(rtsp_pass_hook_fn fn);

/* Packetises a buffer of ADTS frames captured at ts (ms) as AAC in RTP and
 * delivers it to the playing sessions that set the audio track up. */
void rtsp_process_audio_frame(rtsp_channel_t *p_chn, const uint8_t *frame, uint32_t frame_size,
                              uint64_t ts);

/* Body of a channel's audio thread: pulls each new audio frame from the
 * source once, from the newest on, and delivers it. */
void *rtsp_chn_audio_main(void *arg);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_DELIVER_H */
