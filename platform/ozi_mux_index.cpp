/*
 * ozi_mux_index.cpp - container headers and indexes of the muxer.
 *
 * See ozi_mux_index.h.  The MP4 boxes follow ISO/IEC 14496-12, -15 (avcC)
 * and -1/-3 (esds, AAC); the AVI chunks the RIFF AVI 1.0 layout with an
 * idx1 index.
 */
#include "ozi_mux_index.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace ozimux {

/* ---- MP4 ---------------------------------------------------------------- */

void mp4_preamble(uint64_t data_end, uint8_t out[kMp4HeaderSize])
{
    Buf b;
    size_t ftyp = b.begin_box("ftyp");
    b.fourcc("isom");
    b.be32(0x200);
    b.fourcc("isom");
    b.fourcc("iso2");
    b.fourcc("avc1");
    b.fourcc("mp41");
    b.end_box(ftyp);
    uint64_t mdat_size = data_end ? data_end - 40 : 0;
    if (mdat_size > 0xFFFFFFFFu) {
        b.be32(1);
        b.fourcc("mdat");
        b.be64(data_end - 32);
    } else {
        b.be32(8);
        b.fourcc("free");
        b.be32(uint32_t(mdat_size));
        b.fourcc("mdat");
    }
    std::memcpy(out, b.b.data(), kMp4HeaderSize);
}

namespace {

constexpr uint32_t kAacFrame = 1024; /* samples per AAC frame */
constexpr uint64_t kMacEpochOffset = 2082844800; /* 1904-01-01 to 1970-01-01, s */

/* The samples of one track with their durations in the track's time scale. */
struct TrackPlan {
    uint8_t track = 0;
    uint32_t timescale = 0;
    std::vector<uint32_t> idx;  /* indices into the sample array, file order */
    std::vector<uint32_t> dur;  /* per sample */
    uint64_t start = 0;         /* presentation time of the first sample */
    uint64_t media_dur = 0;     /* sum of dur */

    uint64_t start_ms() const { return start * 1000 / timescale; }
    uint64_t end_ms() const { return ((start + media_dur) * 1000 + timescale / 2) / timescale; }
};

/* A jump of the stamps beyond what stts can hold becomes the longest gap. */
uint32_t clamp_dur(uint64_t d) { return d > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(d); }

uint64_t ms_to_ticks(int32_t ms, uint32_t scale)
{
    return ms <= 0 ? 0 : (uint64_t(ms) * scale + 500) / 1000;
}

/* Video: times from the ms stamps, kept strictly increasing; the last
 * sample lasts as long as the one before it. */
void plan_video(const Config &c, const Sample *s, TrackPlan *t)
{
    size_t n = t->idx.size();
    t->dur.resize(n);
    uint64_t prev = 0;
    for (size_t i = 0; i < n; i++) {
        uint64_t v = ms_to_ticks(s[t->idx[i]].ts_ms, t->timescale);
        if (i == 0)
            t->start = v;
        else {
            if (v <= prev)
                v = prev + 1;
            t->dur[i - 1] = clamp_dur(v - prev);
        }
        prev = v;
    }
    uint32_t nominal = t->timescale / (c.fps ? c.fps : 25);
    t->dur[n - 1] = n > 1 ? t->dur[n - 2] : nominal;
}

/* Audio: every AAC frame lasts 1024 samples; a stamp more than a frame
 * later than that (frames lost upstream) opens a gap instead, so the track
 * stays in step with the video. */
void plan_audio(const Config &, const Sample *s, TrackPlan *t)
{
    size_t n = t->idx.size();
    t->dur.resize(n);
    uint64_t prev = 0;
    for (size_t i = 0; i < n; i++) {
        uint64_t measured = ms_to_ticks(s[t->idx[i]].ts_ms, t->timescale);
        if (i == 0) {
            t->start = measured;
            prev = measured;
            continue;
        }
        uint64_t v = prev + kAacFrame;
        if (measured > v + kAacFrame)
            v = measured;
        t->dur[i - 1] = clamp_dur(v - prev);
        prev = v;
    }
    t->dur[n - 1] = kAacFrame;
}

void put_matrix(Buf *b)
{
    static const uint32_t m[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m)
        b->be32(v);
}

/* mdhd/mvhd/tkhd durations switch to 64 bits when they do not fit. */
bool needs_v1(uint64_t d) { return d > 0xFFFFFFFFu; }

/*
 * Opens an mvhd, tkhd or mdhd box and writes its dated head: creation and
 * modification time `when`, the 32-bit fields that come between (time
 * scale; or track id and a reserved word), and the duration.  Times and
 * duration are 32 bits (version 0), or 64 when either does not fit
 * (version 1).  Returns the box's start for end_box.
 */
size_t begin_dated_box(Buf *b, const char *type, uint32_t flags, uint64_t when,
                       std::initializer_list<uint32_t> between, uint64_t dur)
{
    const bool v1 = needs_v1(dur) || needs_v1(when);
    size_t box = b->begin_full_box(type, v1 ? 1 : 0, flags);
    auto put = [b, v1](uint64_t v) { v1 ? b->be64(v) : b->be32(uint32_t(v)); };
    put(when);
    put(when);
    for (uint32_t f : between)
        b->be32(f);
    put(dur);
    return box;
}

void put_avc1(const Config &c, Buf *b)
{
    size_t avc1 = b->begin_box("avc1");
    b->zeros(6);
    b->be16(1);       /* data_reference_index */
    b->zeros(16);     /* pre_defined, reserved */
    b->be16(c.width);
    b->be16(c.height);
    b->be32(0x00480000); /* 72 dpi */
    b->be32(0x00480000);
    b->be32(0);
    b->be16(1);       /* frame_count */
    b->zeros(32);     /* compressorname */
    b->be16(0x18);
    b->be16(0xFFFF);
    size_t avcc = b->begin_box("avcC");
    b->u8(1);
    b->u8(c.sps_len > 3 ? c.sps[1] : 66);
    b->u8(c.sps_len > 3 ? c.sps[2] : 0);
    b->u8(c.sps_len > 3 ? c.sps[3] : 30);
    b->u8(0xFF);      /* 4-byte NAL lengths */
    b->u8(0xE0 | (c.sps_len ? 1 : 0));
    if (c.sps_len) {
        b->be16(c.sps_len);
        b->bytes(c.sps, c.sps_len);
    }
    b->u8(c.pps_len ? 1 : 0);
    if (c.pps_len) {
        b->be16(c.pps_len);
        b->bytes(c.pps, c.pps_len);
    }
    b->end_box(avcc);
    b->end_box(avc1);
}

void put_mp4a(const Config &c, const Sample *s, const TrackPlan &t, Buf *b)
{
    uint64_t bytes = 0;
    uint32_t max = 0;
    for (uint32_t i : t.idx) {
        bytes += s[i].size;
        max = std::max(max, s[i].size);
    }
    uint32_t avg = t.media_dur ? uint32_t(bytes * 8 * t.timescale / t.media_dur) : 0;

    size_t mp4a = b->begin_box("mp4a");
    b->zeros(6);
    b->be16(1);
    b->zeros(8);
    b->be16(c.audio_channels);
    b->be16(16);
    b->be32(0);
    b->be32(c.audio_rate << 16);
    size_t esds = b->begin_full_box("esds", 0, 0);
    uint32_t dsi = 2 + c.asc_len;
    uint32_t dcd = 2 + 13 + dsi;
    b->u8(0x03);                  /* ES_Descriptor */
    b->u8(3 + dcd + 3);
    b->be16(2);                   /* ES_ID */
    b->u8(0);
    b->u8(0x04);                  /* DecoderConfigDescriptor */
    b->u8(13 + dsi);
    b->u8(0x40);                  /* MPEG-4 audio */
    b->u8(0x15);                  /* audio stream */
    b->be24(std::max<uint32_t>(max, 768));
    b->be32(avg);
    b->be32(avg);
    b->u8(0x05);                  /* DecoderSpecificInfo */
    b->u8(c.asc_len);
    b->bytes(c.asc, c.asc_len);
    b->u8(0x06);                  /* SLConfigDescriptor */
    b->u8(1);
    b->u8(2);
    b->end_box(esds);
    b->end_box(mp4a);
}

void put_sample_tables(const Config &c, const Sample *s, const TrackPlan &t, Buf *b)
{
    size_t stbl = b->begin_box("stbl");
    size_t stsd = b->begin_full_box("stsd", 0, 0);
    b->be32(1);
    if (t.track == kTrackVideo)
        put_avc1(c, b);
    else
        put_mp4a(c, s, t, b);
    b->end_box(stsd);

    /* stts: run-length coded durations */
    size_t stts = b->begin_full_box("stts", 0, 0);
    size_t cnt_pos = b->size();
    b->be32(0);
    uint32_t runs = 0;
    for (size_t i = 0; i < t.dur.size();) {
        size_t j = i;
        while (j < t.dur.size() && t.dur[j] == t.dur[i])
            j++;
        b->be32(uint32_t(j - i));
        b->be32(t.dur[i]);
        runs++;
        i = j;
    }
    b->patch_be32(cnt_pos, runs);
    b->end_box(stts);

    if (t.track == kTrackVideo) {
        size_t keys = 0;
        for (uint32_t i : t.idx)
            keys += s[i].key;
        if (keys != t.idx.size()) {
            size_t stss = b->begin_full_box("stss", 0, 0);
            b->be32(uint32_t(keys));
            for (size_t k = 0; k < t.idx.size(); k++)
                if (s[t.idx[k]].key)
                    b->be32(uint32_t(k + 1));
            b->end_box(stss);
        }
    }

    size_t stsz = b->begin_full_box("stsz", 0, 0);
    b->be32(0);
    b->be32(uint32_t(t.idx.size()));
    for (uint32_t i : t.idx)
        b->be32(s[i].size);
    b->end_box(stsz);

    /* Chunks: runs of this track's samples that lie back to back. */
    std::vector<uint64_t> chunk_off;
    std::vector<uint32_t> chunk_len;
    uint64_t prev_end = UINT64_MAX;
    for (uint32_t i : t.idx) {
        if (s[i].offset != prev_end) {
            chunk_off.push_back(s[i].offset);
            chunk_len.push_back(0);
        }
        chunk_len.back()++;
        prev_end = s[i].offset + s[i].size;
    }
    size_t stsc = b->begin_full_box("stsc", 0, 0);
    cnt_pos = b->size();
    b->be32(0);
    runs = 0;
    for (size_t k = 0; k < chunk_len.size(); k++) {
        if (k == 0 || chunk_len[k] != chunk_len[k - 1]) {
            b->be32(uint32_t(k + 1));
            b->be32(chunk_len[k]);
            b->be32(1);
            runs++;
        }
    }
    b->patch_be32(cnt_pos, runs);
    b->end_box(stsc);

    bool wide = !chunk_off.empty() && chunk_off.back() > 0xFFFFFFFFu;
    size_t stco = b->begin_full_box(wide ? "co64" : "stco", 0, 0);
    b->be32(uint32_t(chunk_off.size()));
    for (uint64_t o : chunk_off) {
        if (wide)
            b->be64(o);
        else
            b->be32(uint32_t(o));
    }
    b->end_box(stco);
    b->end_box(stbl);
}

void put_trak(const Config &c, const Sample *s, const TrackPlan &t, uint32_t track_id, Buf *b)
{
    const uint64_t when = uint64_t(c.start_wall > 0 ? c.start_wall : 0) + kMacEpochOffset;
    const bool video = t.track == kTrackVideo;
    const uint64_t tk_dur = t.end_ms();

    size_t trak = b->begin_box("trak");
    size_t tkhd = begin_dated_box(b, "tkhd", 3, when, {track_id, 0}, tk_dur);
    b->zeros(8);
    b->be16(0);                    /* layer */
    b->be16(0);                    /* alternate_group */
    b->be16(video ? 0 : 0x0100);   /* volume */
    b->be16(0);
    put_matrix(b);
    b->be32(video ? uint32_t(c.width) << 16 : 0);
    b->be32(video ? uint32_t(c.height) << 16 : 0);
    b->end_box(tkhd);

    /* A track that begins after the segment's origin gets an empty edit. */
    if (t.start > 0) {
        size_t edts = b->begin_box("edts");
        size_t elst = b->begin_full_box("elst", 0, 0);
        b->be32(2);
        b->be32(uint32_t(t.start_ms()));
        b->be32(0xFFFFFFFFu);      /* media_time -1: empty */
        b->be32(0x10000);
        b->be32(uint32_t(tk_dur - t.start_ms()));
        b->be32(0);
        b->be32(0x10000);
        b->end_box(elst);
        b->end_box(edts);
    }

    size_t mdia = b->begin_box("mdia");
    size_t mdhd = begin_dated_box(b, "mdhd", 0, when, {t.timescale}, t.media_dur);
    b->be16(0x55C4);               /* "und" */
    b->be16(0);
    b->end_box(mdhd);

    size_t hdlr = b->begin_full_box("hdlr", 0, 0);
    b->be32(0);
    b->fourcc(video ? "vide" : "soun");
    b->zeros(12);
    const char *name = video ? "VideoHandler" : "SoundHandler";
    b->bytes(name, std::strlen(name) + 1);
    b->end_box(hdlr);

    size_t minf = b->begin_box("minf");
    if (video) {
        size_t vmhd = b->begin_full_box("vmhd", 0, 1);
        b->zeros(8);
        b->end_box(vmhd);
    } else {
        size_t smhd = b->begin_full_box("smhd", 0, 0);
        b->zeros(4);
        b->end_box(smhd);
    }
    size_t dinf = b->begin_box("dinf");
    size_t dref = b->begin_full_box("dref", 0, 0);
    b->be32(1);
    size_t url = b->begin_full_box("url ", 0, 1);
    b->end_box(url);
    b->end_box(dref);
    b->end_box(dinf);
    put_sample_tables(c, s, t, b);
    b->end_box(minf);
    b->end_box(mdia);
    b->end_box(trak);
}

} // namespace

void mp4_build_moov(const Config &c, const Sample *s, size_t n, Buf *out, uint32_t *total_ms)
{
    TrackPlan tracks[2];
    tracks[0].track = kTrackVideo;
    tracks[0].timescale = c.video_timescale ? c.video_timescale : 90000;
    tracks[1].track = kTrackAudio;
    tracks[1].timescale = c.audio_rate ? c.audio_rate : 8000;
    for (size_t i = 0; i < n; i++)
        tracks[s[i].track == kTrackAudio].idx.push_back(uint32_t(i));
    if (!tracks[0].idx.empty())
        plan_video(c, s, &tracks[0]);
    if (!tracks[1].idx.empty())
        plan_audio(c, s, &tracks[1]);

    uint64_t total = 0;
    for (TrackPlan &t : tracks) {
        for (uint32_t d : t.dur)
            t.media_dur += d;
        if (!t.idx.empty())
            total = std::max(total, t.end_ms());
    }

    const uint64_t when = uint64_t(c.start_wall > 0 ? c.start_wall : 0) + kMacEpochOffset;
    size_t moov = out->begin_box("moov");
    size_t mvhd = begin_dated_box(out, "mvhd", 0, when, {1000}, total);
    out->be32(0x10000);  /* rate 1.0 */
    out->be16(0x0100);   /* volume 1.0 */
    out->zeros(10);
    put_matrix(out);
    out->zeros(24);
    out->be32(3);        /* next_track_ID */
    out->end_box(mvhd);
    uint32_t id = 1;
    for (const TrackPlan &t : tracks)
        if (!t.idx.empty())
            put_trak(c, s, t, id++, out);
    if (c.origin_wall_ms || c.origin_ts_ms) {
        /* udta/orgn: the segment's origin (see Config); players skip it. */
        size_t udta = out->begin_box("udta");
        size_t orgn = out->begin_full_box(kOriginBox, 0, 0);
        out->be64(uint64_t(c.origin_wall_ms));
        out->be64(c.origin_ts_ms);
        out->end_box(orgn);
        out->end_box(udta);
    }
    out->end_box(moov);
    *total_ms = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(total);
}

/* ---- AVI ---------------------------------------------------------------- */

namespace {

constexpr uint32_t kAviHeaderVideoOnly = 224;
constexpr uint32_t kAviAudioStrl = 12 + 64 + 28;

size_t begin_chunk(Buf *b, const char *id)
{
    b->fourcc(id);
    size_t pos = b->size();
    b->le32(0);
    return pos;
}

void end_chunk(Buf *b, size_t pos) { b->patch_le32(pos, uint32_t(b->size() - pos - 4)); }

size_t begin_list(Buf *b, const char *type)
{
    size_t pos = begin_chunk(b, "LIST");
    b->fourcc(type);
    return pos;
}

} // namespace

uint32_t avi_header_size(const Config &c)
{
    return kAviHeaderVideoOnly + (c.has_audio ? kAviAudioStrl : 0);
}

/*
 * RIFF 'AVI '
 *   LIST 'hdrl'  avih | LIST 'strl' (strh 'vids' 'H264', strf BITMAPINFOHEADER)
 *                     | LIST 'strl' (strh 'auds', strf WAVEFORMATEX + AAC config)
 *   LIST 'movi'  '00dc' video chunks (Annex B), '01wb' audio chunks (raw AAC)
 *   idx1
 */
void avi_build_header(const Config &c, const AviCounts &k, Buf *b)
{
    const uint32_t fps = c.fps ? c.fps : 25;
    const uint32_t hdr = avi_header_size(c);
    const uint32_t max_chunk = std::max(k.max_video, k.max_audio) + 8;

    b->fourcc("RIFF");
    b->le32(k.file_end ? uint32_t(k.file_end - 8) : 0);
    b->fourcc("AVI ");
    size_t hdrl = begin_list(b, "hdrl");

    size_t avih = begin_chunk(b, "avih");
    b->le32(1000000 / fps);
    b->le32(k.max_video * fps + (c.has_audio ? k.max_audio * (c.audio_rate / 1024 + 1) : 0));
    b->le32(0);
    b->le32(0x10 | 0x100);          /* AVIF_HASINDEX | AVIF_ISINTERLEAVED */
    b->le32(k.video_frames);
    b->le32(0);
    b->le32(c.has_audio ? 2 : 1);
    b->le32(max_chunk);
    b->le32(c.width);
    b->le32(c.height);
    /* dwReserved[4]: the segment's origin (see Config), zero if unknown. */
    b->le64(uint64_t(c.origin_wall_ms));
    b->le64(c.origin_ts_ms);
    end_chunk(b, avih);

    size_t strl = begin_list(b, "strl");
    size_t strh = begin_chunk(b, "strh");
    b->fourcc("vids");
    b->fourcc("H264");
    b->le32(0);
    b->le16(0);
    b->le16(0);
    b->le32(0);
    b->le32(1);                     /* scale */
    b->le32(fps);                   /* rate */
    b->le32(0);
    b->le32(k.video_frames);
    b->le32(k.max_video + 8);
    b->le32(0xFFFFFFFFu);
    b->le32(0);
    b->le16(0);
    b->le16(0);
    b->le16(c.width);
    b->le16(c.height);
    end_chunk(b, strh);
    size_t strf = begin_chunk(b, "strf");
    b->le32(40);
    b->le32(c.width);
    b->le32(c.height);
    b->le16(1);
    b->le16(24);
    b->fourcc("H264");
    b->le32(uint32_t(c.width) * c.height * 3);
    b->zeros(16);
    end_chunk(b, strf);
    end_chunk(b, strl);

    if (c.has_audio) {
        strl = begin_list(b, "strl");
        strh = begin_chunk(b, "strh");
        b->fourcc("auds");
        b->le32(0);
        b->le32(0);
        b->le16(0);
        b->le16(0);
        b->le32(0);
        b->le32(1024);              /* scale: samples per frame */
        b->le32(c.audio_rate);      /* rate */
        b->le32(0);
        b->le32(k.audio_frames);
        b->le32(k.max_audio + 8);
        b->le32(0xFFFFFFFFu);
        b->le32(0);                 /* variable-size frames */
        b->zeros(8);
        end_chunk(b, strh);
        strf = begin_chunk(b, "strf");
        b->le16(0x00FF);            /* raw AAC */
        b->le16(c.audio_channels);
        b->le32(c.audio_rate);
        b->le32(2000 * c.audio_channels);
        b->le16(1024);
        b->le16(16);
        b->le16(2);
        uint8_t asc[2] = {c.asc_len >= 2 ? c.asc[0] : uint8_t(0), c.asc_len >= 2 ? c.asc[1] : uint8_t(0)};
        b->bytes(asc, 2);
        end_chunk(b, strf);
        end_chunk(b, strl);
    }
    end_chunk(b, hdrl);

    b->fourcc("LIST");
    b->le32(k.movi_end ? uint32_t(k.movi_end - (hdr - 4)) : 0);
    b->fourcc("movi");
}

void avi_build_idx1(const Config &c, const Sample *s, size_t n, Buf *b, AviCounts *k)
{
    *k = AviCounts{};
    const uint64_t movi = c.data_offset; /* "movi" fourcc: idx1 offsets count from here */
    k->movi_end = avi_header_size(c);
    size_t pos = begin_chunk(b, "idx1");
    for (size_t i = 0; i < n; i++) {
        bool audio = s[i].track == kTrackAudio;
        b->fourcc(audio ? "01wb" : "00dc");
        b->le32(audio || s[i].key ? 0x10 : 0);
        b->le32(uint32_t(s[i].offset - 8 - movi));
        b->le32(s[i].size);
        if (audio) {
            k->audio_frames++;
            k->max_audio = std::max(k->max_audio, s[i].size);
        } else {
            k->video_frames++;
            k->max_video = std::max(k->max_video, s[i].size);
        }
        k->movi_end = s[i].offset + s[i].size + (s[i].size & 1);
    }
    end_chunk(b, pos);
    k->file_end = k->movi_end + 8 + 16 * uint64_t(n);
}

uint32_t avi_total_ms(const Config &c, const AviCounts &k)
{
    uint64_t v = uint64_t(k.video_frames) * 1000 / (c.fps ? c.fps : 25);
    uint64_t a = c.audio_rate ? uint64_t(k.audio_frames) * 1024 * 1000 / c.audio_rate : 0;
    uint64_t t = std::max(v, a);
    return t > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(t);
}

} // namespace ozimux
