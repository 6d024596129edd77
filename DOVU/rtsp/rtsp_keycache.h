/*
 * rtsp_keycache.h - the latest key frame of a channel and the frames after
 * it, as the wire packets that went out, kept for a short while so that a
 * player that starts just after a key frame starts with it instead of
 * waiting a whole picture group for the next one.
 *
 * The cache is open from a key frame on, holding every packet of that
 * frame and of each later frame, until a frame comes more than window_ms
 * (source time) after the key frame or the packets exceed max_bytes; then
 * it closes and drops them.  The packets carry the channel's own sequence
 * numbers, so a player given the cache and then the live stream sees one
 * unbroken sequence.
 *
 * Pure; one thread (the channel's video thread) uses a cache.
 */
#ifndef RTSP_KEYCACHE_H
#define RTSP_KEYCACHE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How long after a key frame a new player still gets it (milliseconds). */
#define RTSP_KEY_CACHE_WINDOW_MS 500
#define RTSP_KEY_CACHE_MAX_BYTES (1024 * 1024)

typedef struct rtsp_key_cache rtsp_key_cache;

rtsp_key_cache *rtsp_key_cache_new(uint32_t window_ms, size_t max_bytes);
void rtsp_key_cache_free(rtsp_key_cache *c);

/* A new frame of source time ts_ms begins, taken at now_ms (a monotonic
 * clock); its packets follow with rtsp_key_cache_add.  A key frame opens
 * the cache afresh. */
void rtsp_key_cache_frame(rtsp_key_cache *c, int is_key, uint64_t ts_ms, uint64_t now_ms);
void rtsp_key_cache_add(rtsp_key_cache *c, const uint8_t *pkt, size_t len);

/* 1 while the cache holds a key frame and every packet since. */
int rtsp_key_cache_open(const rtsp_key_cache *c);

/* 1 when the cache is open and its key frame was taken at most window_ms
 * before now_ms: between frames (a source that stalls) the cache counts
 * as recent by the clock, not by the next frame's time stamp. */
int rtsp_key_cache_recent(const rtsp_key_cache *c, uint64_t now_ms);

/* The packets held, back to back, and their lengths; returns their
 * number (0 when closed). */
size_t rtsp_key_cache_packets(const rtsp_key_cache *c, const uint8_t **buf, const uint16_t **lens);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_KEYCACHE_H */
