/*
 * ozi_mux_format.h - byte formats of the container muxer (internal).
 *
 * Pure functions, no files and no clocks: H.264 Annex B scanning, ADTS
 * parsing and the side-file records (segment configuration and the sample
 * journal).  The container indexes are built in ozi_mux_index; ozi_mux.cpp
 * does the I/O around both; tests call them directly.
 *
 * Side files of a record file while a segment is open:
 *   MP4 "<file>.moov"  the configuration blob (see encode_config)
 *   MP4 "<file>.stbl"  journal header + fixed-size sample records
 *   AVI "<file>.idx"   journal header + configuration blob + sample records
 */
#ifndef OZI_MUX_FORMAT_H
#define OZI_MUX_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace ozimux {

enum : uint8_t { kTrackVideo = 0, kTrackAudio = 1 };

/* One stored frame. */
struct Sample {
    uint64_t offset;  /* file offset of the stored bytes (MP4 sample, AVI chunk payload) */
    uint32_t size;    /* stored bytes */
    int32_t ts_ms;    /* time stamp, ms relative to the segment's first frame */
    uint8_t track;    /* kTrackVideo or kTrackAudio */
    uint8_t key;      /* 1 for a sync sample */
};

/* Everything needed to write the headers of a segment. */
struct Config {
    uint8_t type;              /* 0 AVI, 1 MP4 (ozi_mux_type) */
    uint8_t has_audio;         /* an audio stream is declared (AVI header) */
    uint16_t width, height;    /* pixels */
    uint32_t fps;              /* nominal video frame rate */
    uint32_t video_timescale;  /* MP4 video ticks per second */
    uint32_t audio_rate;       /* Hz */
    uint8_t audio_channels;
    uint32_t frame_interval_ms; /* nominal audio frame duration */
    int64_t start_wall;        /* segment start, seconds since 1970 (UTC) */
    uint64_t data_offset;      /* MP4: first byte of the mdat payload; AVI: the "movi" fourcc */
    uint8_t asc_len;           /* AAC AudioSpecificConfig */
    uint8_t asc[8];
    uint16_t sps_len, pps_len; /* H.264 parameter sets, without start codes */
    uint8_t sps[256];
    uint8_t pps[256];
    /* Capture time of the segment's first frame (0 until it is known): the
     * wall clock in ms since 1970 and the frame clock (the stamps' clock)
     * in ms.  The frame clock lets a reader measure the gap between two
     * consecutive files exactly. */
    int64_t origin_wall_ms;
    uint64_t origin_ts_ms;
};

/* ---- growable byte buffer with big/little-endian writers ---------------- */

struct Buf {
    std::vector<uint8_t> b;
    void u8(uint32_t v) { b.push_back(uint8_t(v)); }
    void be16(uint32_t v) { u8(v >> 8); u8(v); }
    void be24(uint32_t v) { u8(v >> 16); be16(v); }
    void be32(uint32_t v) { be16(v >> 16); be16(v); }
    void be64(uint64_t v) { be32(uint32_t(v >> 32)); be32(uint32_t(v)); }
    void le16(uint32_t v) { u8(v); u8(v >> 8); }
    void le32(uint32_t v) { le16(v); le16(v >> 16); }
    void le64(uint64_t v) { le32(uint32_t(v)); le32(uint32_t(v >> 32)); }
    void fourcc(const char *c) { bytes(c, 4); }
    void bytes(const void *p, size_t n);
    void zeros(size_t n) { b.insert(b.end(), n, 0); }
    size_t size() const { return b.size(); }
    /* Box helpers: begin() returns the position whose 32-bit size end() patches. */
    size_t begin_box(const char *type);
    size_t begin_full_box(const char *type, uint8_t version, uint32_t flags);
    void end_box(size_t pos);
    void patch_be32(size_t pos, uint32_t v);
    void patch_le32(size_t pos, uint32_t v);
};

/* ---- H.264 Annex B -------------------------------------------------------- */

struct Nal {
    const uint8_t *p;
    uint32_t n;
};

/* Finds the next NAL unit at or after *pos: skips to the byte after a start
 * code (00 00 01), and ends the unit before the next start code with its
 * trailing zero bytes trimmed.  Returns false when no further unit exists. */
bool next_nal(const uint8_t *d, size_t n, size_t *pos, Nal *nal);

/* ---- AAC ADTS ------------------------------------------------------------- */

struct Adts {
    uint32_t header_len;  /* 7, or 9 with CRC */
    uint32_t frame_len;   /* header + payload */
    uint8_t object_type;  /* profile + 1 (2 = AAC LC) */
    uint8_t sf_index;
    uint8_t channels;
    uint8_t blocks;       /* raw data blocks in the frame */
};

/* Parses the ADTS header at d; false when it is not one or is cut short. */
bool parse_adts(const uint8_t *d, size_t n, Adts *a);
/* Index of a sampling rate in the AAC table, -1 if it has none. */
int aac_rate_index(uint32_t rate);
uint32_t aac_rate(int index);
/* Two-byte AudioSpecificConfig; returns its length (0 on a bad index). */
int make_asc(uint8_t object_type, int sf_index, uint8_t channels, uint8_t out[8]);

/* ---- side files ------------------------------------------------------------ */

constexpr size_t kJournalHeaderSize = 16;
constexpr size_t kRecordSize = 16;
constexpr size_t kAviJournalRecords = 256; /* .idx: records follow the config blob */
constexpr size_t kConfigMax = kAviJournalRecords - kJournalHeaderSize;

/* Journal header: "OZJL", version, record size, offset of the first record. */
void encode_journal_header(uint32_t records_offset, uint8_t out[kJournalHeaderSize]);
bool decode_journal_header(const uint8_t *in, size_t n, uint32_t *records_offset);

/* A record carries a check word, so zero-filled or torn blocks are rejected. */
void encode_record(const Sample &s, uint8_t out[kRecordSize]);
bool decode_record(const uint8_t in[kRecordSize], Sample *s);

/* Configuration blob with a CRC; decode rejects torn or foreign data. */
void encode_config(const Config &c, Buf *out);
bool decode_config(const uint8_t *in, size_t n, Config *c);

uint32_t crc32(const uint8_t *p, size_t n);

} // namespace ozimux

#endif /* OZI_MUX_FORMAT_H */
