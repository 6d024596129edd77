/*
 * ozi_mux_index.h - container headers and indexes of the muxer (internal).
 *
 * Pure functions over the stored samples: the MP4 preamble and movie box,
 * the AVI header and idx1 index, and the playing time they describe.  Used
 * by ozi_mux.cpp when a segment stops and when a torn one is repaired.
 */
#ifndef OZI_MUX_INDEX_H
#define OZI_MUX_INDEX_H

#include "ozi_mux_format.h"

namespace ozimux {

/* ---- MP4 ------------------------------------------------------------------- */

constexpr uint32_t kMp4HeaderSize = 48; /* ftyp 32 + free 8 + mdat 8 */
/* moov/udta child holding the segment's origin: version/flags, then the
 * wall clock and the frame clock of the first frame, ms, 64-bit each. */
constexpr char kOriginBox[] = "orgn";

/* ftyp, free and the mdat header for a payload ending at data_end (0 while
 * recording: "to the end of the file").  A payload beyond 4 GiB takes the
 * free box's room for a 64-bit size, so sample offsets never move. */
void mp4_preamble(uint64_t data_end, uint8_t out[kMp4HeaderSize]);

/* Builds the moov box for samples stored in file order.  Sets *total_ms to
 * the duration of the longest track.  Tracks without samples are left out. */
void mp4_build_moov(const Config &c, const Sample *s, size_t n, Buf *out, uint32_t *total_ms);

/* ---- AVI ------------------------------------------------------------------- */

/* Size of RIFF header + hdrl + the movi LIST header; the first chunk follows. */
uint32_t avi_header_size(const Config &c);

struct AviCounts {
    uint32_t video_frames, audio_frames;
    uint32_t max_video, max_audio; /* largest chunk payloads */
    uint64_t file_end;             /* bytes including idx1 */
    uint64_t movi_end;             /* end of the last chunk */
};

/* The header for the given counts (all zero while recording). */
void avi_build_header(const Config &c, const AviCounts &k, Buf *out);
/* idx1 chunk for the samples; fills the counts. */
void avi_build_idx1(const Config &c, const Sample *s, size_t n, Buf *out, AviCounts *k);
/* Playing time of an AVI with these counts, ms. */
uint32_t avi_total_ms(const Config &c, const AviCounts &k);

/* Bytes a stored AVI chunk occupies: header, payload, pad to even. */
inline uint64_t avi_chunk_bytes(uint32_t size) { return 8 + uint64_t(size) + (size & 1); }

} // namespace ozimux

#endif /* OZI_MUX_INDEX_H */
