/*
 * ozi_mux_format.cpp - byte formats of the container muxer.
 *
 * See ozi_mux_format.h.  Everything here works on memory only.
 */
#include "ozi_mux_format.h"

#include <cstring>

namespace ozimux {

/* ---- Buf -------------------------------------------------------------- */

void Buf::bytes(const void *p, size_t n)
{
    const uint8_t *c = static_cast<const uint8_t *>(p);
    b.insert(b.end(), c, c + n);
}

size_t Buf::begin_box(const char *type)
{
    size_t pos = b.size();
    be32(0);
    fourcc(type);
    return pos;
}

size_t Buf::begin_full_box(const char *type, uint8_t version, uint32_t flags)
{
    size_t pos = begin_box(type);
    u8(version);
    be24(flags);
    return pos;
}

void Buf::end_box(size_t pos) { patch_be32(pos, uint32_t(b.size() - pos)); }

void Buf::patch_be32(size_t pos, uint32_t v)
{
    b[pos] = uint8_t(v >> 24);
    b[pos + 1] = uint8_t(v >> 16);
    b[pos + 2] = uint8_t(v >> 8);
    b[pos + 3] = uint8_t(v);
}

void Buf::patch_le32(size_t pos, uint32_t v)
{
    b[pos] = uint8_t(v);
    b[pos + 1] = uint8_t(v >> 8);
    b[pos + 2] = uint8_t(v >> 16);
    b[pos + 3] = uint8_t(v >> 24);
}

namespace {

uint32_t rd_le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t rd_le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint64_t rd_le64(const uint8_t *p) { return rd_le32(p) | uint64_t(rd_le32(p + 4)) << 32; }

} // namespace

/* ---- Annex B ------------------------------------------------------------ */

/* Position just past the next 00 00 01 at or after pos, or n when none;
 * *sc is set to the position of the start code's first zero. */
static size_t find_start_code(const uint8_t *d, size_t n, size_t pos, size_t *sc)
{
    size_t i = pos;
    while (i + 2 < n) {
        if (d[i + 2] > 1) {
            i += 3;
        } else if (d[i + 2] == 1 && d[i + 1] == 0 && d[i] == 0) {
            *sc = i;
            return i + 3;
        } else {
            i++;
        }
    }
    *sc = n;
    return n;
}

bool next_nal(const uint8_t *d, size_t n, size_t *pos, Nal *nal)
{
    size_t sc;
    size_t start = find_start_code(d, n, *pos, &sc);
    if (start >= n)
        return false;
    size_t end_sc;
    size_t next = find_start_code(d, n, start, &end_sc);
    size_t end = end_sc;
    while (end > start && d[end - 1] == 0)
        end--;
    nal->p = d + start;
    nal->n = uint32_t(end - start);
    *pos = next >= n ? n : end_sc;
    return true;
}

/* ---- ADTS ---------------------------------------------------------------- */

static const uint32_t kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                       22050, 16000, 12000, 11025, 8000,  7350};

int aac_rate_index(uint32_t rate)
{
    for (int i = 0; i < 13; i++)
        if (kAacRates[i] == rate)
            return i;
    return -1;
}

uint32_t aac_rate(int index) { return index >= 0 && index < 13 ? kAacRates[index] : 0; }

/*
 * ADTS fixed + variable header (ISO/IEC 13818-7 6.2):
 *   syncword 12 | id 1 | layer 2 | protection_absent 1 | profile 2 |
 *   sf_index 4 | private 1 | channel_config 3 | orig 1 | home 1 |
 *   copyright_id 1 | copyright_start 1 | frame_length 13 |
 *   buffer_fullness 11 | raw_data_blocks 2 [| crc 16]
 */
bool parse_adts(const uint8_t *d, size_t n, Adts *a)
{
    if (n < 7 || d[0] != 0xFF || (d[1] & 0xF6) != 0xF0)
        return false;
    a->header_len = (d[1] & 1) ? 7 : 9;
    a->object_type = uint8_t((d[2] >> 6) + 1);
    a->sf_index = (d[2] >> 2) & 0xF;
    a->channels = uint8_t((d[2] & 1) << 2 | d[3] >> 6);
    a->frame_len = uint32_t(d[3] & 3) << 11 | uint32_t(d[4]) << 3 | d[5] >> 5;
    a->blocks = uint8_t((d[6] & 3) + 1);
    return a->sf_index < 13 && a->frame_len >= a->header_len && a->frame_len <= n;
}

int make_asc(uint8_t object_type, int sf_index, uint8_t channels, uint8_t out[8])
{
    if (sf_index < 0 || sf_index > 12 || object_type == 0 || object_type > 31)
        return 0;
    uint32_t v = uint32_t(object_type) << 11 | uint32_t(sf_index) << 7 | uint32_t(channels & 15) << 3;
    out[0] = uint8_t(v >> 8);
    out[1] = uint8_t(v);
    return 2;
}

/* ---- side files --------------------------------------------------------- */

uint32_t crc32(const uint8_t *p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

static const uint8_t kJournalMagic[4] = {'O', 'Z', 'J', 'L'};
static const uint8_t kConfigMagic[4] = {'O', 'Z', 'C', 'F'};

void encode_journal_header(uint32_t records_offset, uint8_t out[kJournalHeaderSize])
{
    Buf b;
    b.bytes(kJournalMagic, 4);
    b.le16(1);
    b.le16(kRecordSize);
    b.le32(records_offset);
    b.le32(0);
    std::memcpy(out, b.b.data(), kJournalHeaderSize);
}

bool decode_journal_header(const uint8_t *in, size_t n, uint32_t *records_offset)
{
    if (n < kJournalHeaderSize || std::memcmp(in, kJournalMagic, 4) != 0 ||
        rd_le16(in + 4) != 1 || rd_le16(in + 6) != kRecordSize)
        return false;
    *records_offset = rd_le32(in + 8);
    return *records_offset >= kJournalHeaderSize;
}

/* Fletcher-16 over the first 14 bytes, inverted so that zeros do not pass. */
static uint16_t record_check(const uint8_t *p)
{
    uint32_t s1 = 0, s2 = 0;
    for (int i = 0; i < 14; i++) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return uint16_t((s2 << 8 | s1) ^ 0xA55A);
}

/*
 * Record, little-endian:
 *   0 size u32 | 4 offset bits 0-31 | 8 ts_ms i32 | 12 offset bits 32-39 |
 *   13 flags (bit0 audio, bit1 key) | 14 check u16
 */
void encode_record(const Sample &s, uint8_t out[kRecordSize])
{
    uint32_t ts = uint32_t(s.ts_ms);
    const uint32_t w[3] = {s.size, uint32_t(s.offset), ts};
    for (int i = 0; i < 3; i++)
        for (int k = 0; k < 4; k++)
            out[i * 4 + k] = uint8_t(w[i] >> (8 * k));
    out[12] = uint8_t(s.offset >> 32);
    out[13] = uint8_t((s.track == kTrackAudio ? 1 : 0) | (s.key ? 2 : 0));
    uint16_t c = record_check(out);
    out[14] = uint8_t(c);
    out[15] = uint8_t(c >> 8);
}

bool decode_record(const uint8_t in[kRecordSize], Sample *s)
{
    if (rd_le16(in + 14) != record_check(in) || (in[13] & ~3u) != 0)
        return false;
    s->size = rd_le32(in);
    s->offset = rd_le32(in + 4) | uint64_t(in[12]) << 32;
    s->ts_ms = int32_t(rd_le32(in + 8));
    s->track = (in[13] & 1) ? kTrackAudio : kTrackVideo;
    s->key = (in[13] & 2) ? 1 : 0;
    return true;
}

void encode_config(const Config &c, Buf *out)
{
    size_t start = out->size();
    out->bytes(kConfigMagic, 4);
    size_t len_pos = out->size();
    out->le32(0);
    out->u8(c.type);
    out->u8(c.has_audio);
    out->le16(c.width);
    out->le16(c.height);
    out->le32(c.fps);
    out->le32(c.video_timescale);
    out->le32(c.audio_rate);
    out->u8(c.audio_channels);
    out->le32(c.frame_interval_ms);
    out->le64(uint64_t(c.start_wall));
    out->le64(c.data_offset);
    out->u8(c.asc_len);
    out->bytes(c.asc, c.asc_len);
    out->le16(c.sps_len);
    out->bytes(c.sps, c.sps_len);
    out->le16(c.pps_len);
    out->bytes(c.pps, c.pps_len);
    out->le64(uint64_t(c.origin_wall_ms));
    out->le64(c.origin_ts_ms);
    out->patch_le32(len_pos, uint32_t(out->size() - start + 4));
    out->le32(crc32(out->b.data() + start, out->size() - start));
}

bool decode_config(const uint8_t *in, size_t n, Config *c)
{
    if (n < 8 || std::memcmp(in, kConfigMagic, 4) != 0)
        return false;
    uint32_t len = rd_le32(in + 4);
    if (len < 56 || len > n || rd_le32(in + len - 4) != crc32(in, len - 4))
        return false;
    const uint8_t *p = in + 8, *end = in + len - 4;
    auto need = [&](size_t k) { return size_t(end - p) >= k; };
    if (!need(40))
        return false;
    *c = Config{};
    c->type = p[0];
    c->has_audio = p[1];
    c->width = rd_le16(p + 2);
    c->height = rd_le16(p + 4);
    c->fps = rd_le32(p + 6);
    c->video_timescale = rd_le32(p + 10);
    c->audio_rate = rd_le32(p + 14);
    c->audio_channels = p[18];
    c->frame_interval_ms = rd_le32(p + 19);
    c->start_wall = int64_t(rd_le64(p + 23));
    c->data_offset = rd_le64(p + 31);
    c->asc_len = p[39];
    p += 40;
    if (c->asc_len > sizeof c->asc || !need(c->asc_len + 2u))
        return false;
    std::memcpy(c->asc, p, c->asc_len);
    p += c->asc_len;
    c->sps_len = rd_le16(p);
    p += 2;
    if (c->sps_len > sizeof c->sps || !need(c->sps_len + 2u))
        return false;
    std::memcpy(c->sps, p, c->sps_len);
    p += c->sps_len;
    c->pps_len = rd_le16(p);
    p += 2;
    if (c->pps_len > sizeof c->pps || !need(c->pps_len))
        return false;
    std::memcpy(c->pps, p, c->pps_len);
    p += c->pps_len;
    /* Blobs written before the origin was recorded end here. */
    if (need(16)) {
        c->origin_wall_ms = int64_t(rd_le64(p));
        c->origin_ts_ms = rd_le64(p + 8);
        p += 16;
    }
    return p == end && c->video_timescale > 0;
}

} // namespace ozimux
