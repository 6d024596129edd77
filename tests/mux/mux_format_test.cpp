/*
 * Muxer byte formats without files: Annex B scanning, ADTS, side-file
 * records, and the timing and tables of the MP4 movie box.
 */
#include "ozi_mux_index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace ozimux;
using Bytes = std::vector<uint8_t>;

namespace {

/* ---- Annex B -------------------------------------------------------------- */

std::vector<Bytes> nals_of(const Bytes &in)
{
    std::vector<Bytes> out;
    size_t pos = 0;
    Nal n;
    while (next_nal(in.data(), in.size(), &pos, &n))
        out.emplace_back(n.p, n.p + n.n);
    return out;
}

struct NalCase {
    const char *name;
    Bytes in;
    std::vector<Bytes> want;
};

TEST(MuxAnnexB, SplitsUnits)
{
    const NalCase cases[] = {
        {"four_byte_start_codes", {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3},
         {{0x67, 1, 2}, {0x68, 3}}},
        {"three_byte_start_codes", {0, 0, 1, 0x65, 9, 0, 0, 1, 0x41, 8}, {{0x65, 9}, {0x41, 8}}},
        {"trailing_zeros_trimmed", {0, 0, 1, 0x65, 9, 0, 0, 0, 0, 0, 1, 0x41}, {{0x65, 9}, {0x41}}},
        {"emulation_prevention_kept", {0, 0, 1, 0x65, 0, 0, 3, 1, 7}, {{0x65, 0, 0, 3, 1, 7}}},
        {"leading_garbage_skipped", {7, 7, 0, 0, 1, 0x09, 0xF0}, {{0x09, 0xF0}}},
        {"no_start_code", {0x65, 1, 2, 3}, {}},
        {"start_code_at_end", {0, 0, 1, 0x65, 0, 0, 1}, {{0x65}}},
        {"empty", {}, {}},
    };
    for (const NalCase &c : cases)
        EXPECT_EQ(nals_of(c.in), c.want) << c.name;
}

/* ---- ADTS -------------------------------------------------------------- */

Bytes adts(uint32_t payload, int sf_index, int channels, bool crc)
{
    uint32_t len = payload + (crc ? 9 : 7);
    Bytes b = {0xFF, uint8_t(crc ? 0xF0 : 0xF1),
               uint8_t((1 << 6) | (sf_index << 2) | (channels >> 2)),
               uint8_t(((channels & 3) << 6) | (len >> 11)), uint8_t(len >> 3),
               uint8_t(((len & 7) << 5) | 0x1F), 0xFC};
    if (crc)
        b.resize(9, 0);
    b.resize(len, 0x55);
    return b;
}

TEST(MuxAdts, ParsesHeaders)
{
    Adts a;
    Bytes f = adts(100, 11, 1, false);
    ASSERT_TRUE(parse_adts(f.data(), f.size(), &a));
    EXPECT_EQ(a.header_len, 7u);
    EXPECT_EQ(a.frame_len, 107u);
    EXPECT_EQ(a.object_type, 2);
    EXPECT_EQ(a.sf_index, 11);
    EXPECT_EQ(a.channels, 1);
    EXPECT_EQ(a.blocks, 1);
    uint8_t asc[8];
    ASSERT_EQ(make_asc(a.object_type, a.sf_index, a.channels, asc), 2);
    EXPECT_EQ(asc[0], 0x15); /* AAC LC, 8000 Hz, mono: 00010 1011 0001 000 */
    EXPECT_EQ(asc[1], 0x88);

    Bytes g = adts(10, 3, 2, true);
    ASSERT_TRUE(parse_adts(g.data(), g.size(), &a));
    EXPECT_EQ(a.header_len, 9u);
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(aac_rate(a.sf_index), 48000u);

    Bytes cut = f;
    cut.resize(50);
    EXPECT_FALSE(parse_adts(cut.data(), cut.size(), &a)) << "frame longer than the buffer";
    Bytes nosync = f;
    nosync[1] = 0x01;
    EXPECT_FALSE(parse_adts(nosync.data(), nosync.size(), &a));
    EXPECT_FALSE(parse_adts(f.data(), 6, &a));
    Bytes badrate = adts(10, 14, 1, false);
    EXPECT_FALSE(parse_adts(badrate.data(), badrate.size(), &a));
    EXPECT_EQ(aac_rate_index(44100), 4);
    EXPECT_EQ(aac_rate_index(44000), -1);
}

/* ---- side-file records --------------------------------------------------- */

TEST(MuxJournal, RecordsRoundTripAndRejectDamage)
{
    const Sample cases[] = {
        {48, 1000, 0, kTrackVideo, 1},
        {(1ull << 39) + 12345, 0xFFFFFFFFu, -64, kTrackAudio, 1},
        {0xFFFFFFFFull + 1, 7, 2000000000, kTrackVideo, 0},
    };
    for (const Sample &s : cases) {
        uint8_t r[kRecordSize];
        encode_record(s, r);
        Sample d;
        ASSERT_TRUE(decode_record(r, &d));
        EXPECT_EQ(d.offset, s.offset);
        EXPECT_EQ(d.size, s.size);
        EXPECT_EQ(d.ts_ms, s.ts_ms);
        EXPECT_EQ(d.track, s.track);
        EXPECT_EQ(d.key, s.key);
        for (size_t i = 0; i < kRecordSize; i++) {
            uint8_t bad[kRecordSize];
            std::memcpy(bad, r, sizeof bad);
            bad[i] ^= 0x10;
            EXPECT_FALSE(decode_record(bad, &d)) << "byte " << i;
        }
    }
    uint8_t zero[kRecordSize] = {};
    Sample d;
    EXPECT_FALSE(decode_record(zero, &d)) << "a zero-filled block is not a record";

    uint8_t h[kJournalHeaderSize];
    encode_journal_header(256, h);
    uint32_t first = 0;
    ASSERT_TRUE(decode_journal_header(h, sizeof h, &first));
    EXPECT_EQ(first, 256u);
    EXPECT_FALSE(decode_journal_header(h, sizeof h - 1, &first));
    h[0] = 'X';
    EXPECT_FALSE(decode_journal_header(h, sizeof h, &first));
}

Config sample_config()
{
    Config c{};
    c.type = 1;
    c.has_audio = 1;
    c.width = 1920;
    c.height = 1080;
    c.fps = 25;
    c.video_timescale = 90000;
    c.audio_rate = 8000;
    c.audio_channels = 1;
    c.frame_interval_ms = 128;
    c.start_wall = 1676046908;
    c.data_offset = kMp4HeaderSize;
    c.asc_len = uint8_t(make_asc(2, 11, 1, c.asc));
    const uint8_t sps[] = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9};
    const uint8_t pps[] = {0x68, 0xEB, 0xE3, 0xCB};
    std::memcpy(c.sps, sps, sizeof sps);
    c.sps_len = sizeof sps;
    std::memcpy(c.pps, pps, sizeof pps);
    c.pps_len = sizeof pps;
    return c;
}

TEST(MuxJournal, ConfigRoundTripsAndRejectsTornCopies)
{
    Config c = sample_config();
    Buf b;
    encode_config(c, &b);
    Config d;
    ASSERT_TRUE(decode_config(b.b.data(), b.size(), &d));
    EXPECT_EQ(d.width, 1920);
    EXPECT_EQ(d.height, 1080);
    EXPECT_EQ(d.start_wall, c.start_wall);
    EXPECT_EQ(d.data_offset, c.data_offset);
    EXPECT_EQ(Bytes(d.sps, d.sps + d.sps_len), Bytes(c.sps, c.sps + c.sps_len));
    EXPECT_EQ(Bytes(d.pps, d.pps + d.pps_len), Bytes(c.pps, c.pps + c.pps_len));
    EXPECT_EQ(Bytes(d.asc, d.asc + d.asc_len), Bytes(c.asc, c.asc + c.asc_len));

    /* Trailing bytes of an older, longer copy do not matter. */
    Bytes longer = b.b;
    longer.insert(longer.end(), 40, 0xAB);
    EXPECT_TRUE(decode_config(longer.data(), longer.size(), &d));
    for (size_t cut : {size_t(0), size_t(7), b.size() / 2, b.size() - 1})
        EXPECT_FALSE(decode_config(b.b.data(), cut, &d)) << "cut at " << cut;
    for (size_t i = 0; i < b.size(); i++) {
        Bytes bad = b.b;
        bad[i] ^= 1;
        EXPECT_FALSE(decode_config(bad.data(), bad.size(), &d)) << "bit flipped in byte " << i;
    }
}

/* ---- MP4 movie box ---------------------------------------------------------- */

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

/* Payload of the n-th box of `type` found depth-first under [p, end). */
struct Box {
    const uint8_t *p = nullptr;
    size_t n = 0;
};

const char *kContainers[] = {"moov", "trak", "mdia", "minf", "stbl", "edts", "dinf"};

void find_all(const uint8_t *p, const uint8_t *end, const char *type, std::vector<Box> *out)
{
    while (end - p >= 8) {
        uint32_t size = be32(p);
        if (size < 8 || size > size_t(end - p))
            return;
        if (std::memcmp(p + 4, type, 4) == 0)
            out->push_back({p + 8, size - 8});
        for (const char *c : kContainers)
            if (std::memcmp(p + 4, c, 4) == 0)
                find_all(p + 8, p + size, type, out);
        p += size;
    }
}

std::vector<Box> boxes(const Buf &b, const char *type)
{
    std::vector<Box> out;
    find_all(b.b.data(), b.b.data() + b.size(), type, &out);
    return out;
}

/* stts of a track expanded into one duration per sample. */
std::vector<uint32_t> durations(const Box &stts)
{
    std::vector<uint32_t> d;
    uint32_t runs = be32(stts.p + 4);
    for (uint32_t i = 0; i < runs; i++)
        d.insert(d.end(), be32(stts.p + 8 + 8 * i), be32(stts.p + 12 + 8 * i));
    return d;
}

TEST(MuxMp4, VideoTimesFollowTheStampsAndAudioKeepsFrameLength)
{
    Config c = sample_config();
    std::vector<Sample> s;
    uint64_t off = kMp4HeaderSize;
    auto add = [&](uint8_t track, int32_t ts, uint32_t size, uint8_t key) {
        s.push_back(Sample{off, size, ts, track, key});
        off += size;
    };
    /* Video at 0, 40, 80, 160 (a frame lost), 200; audio at 0, 128, 256,
     * then a gap of two frames (640). */
    add(kTrackVideo, 0, 1000, 1);
    add(kTrackAudio, 0, 100, 1);
    add(kTrackVideo, 40, 500, 0);
    add(kTrackVideo, 80, 500, 0);
    add(kTrackAudio, 128, 100, 1);
    add(kTrackVideo, 160, 500, 0);
    add(kTrackAudio, 256, 100, 1);
    add(kTrackVideo, 200, 900, 1);
    add(kTrackAudio, 640, 100, 1);
    Buf b;
    uint32_t total = 0;
    mp4_build_moov(c, s.data(), s.size(), &b, &total);

    std::vector<Box> stts = boxes(b, "stts");
    ASSERT_EQ(stts.size(), 2u);
    EXPECT_EQ(durations(stts[0]), (std::vector<uint32_t>{3600, 3600, 7200, 3600, 3600}));
    EXPECT_EQ(durations(stts[1]), (std::vector<uint32_t>{1024, 1024, 3072, 1024}));
    /* Audio ends at 640 + 128 ms, after the video's 240 ms. */
    EXPECT_EQ(total, 768u);

    std::vector<Box> stss = boxes(b, "stss");
    ASSERT_EQ(stss.size(), 1u) << "only the video track has non-sync samples";
    ASSERT_EQ(be32(stss[0].p + 4), 2u);
    EXPECT_EQ(be32(stss[0].p + 8), 1u);
    EXPECT_EQ(be32(stss[0].p + 12), 5u);

    /* Chunks are the runs of a track's samples that lie back to back. */
    std::vector<Box> stco = boxes(b, "stco");
    ASSERT_EQ(stco.size(), 2u);
    ASSERT_EQ(be32(stco[0].p + 4), 4u);
    EXPECT_EQ(be32(stco[0].p + 8), s[0].offset);
    EXPECT_EQ(be32(stco[0].p + 12), s[2].offset);
    EXPECT_EQ(be32(stco[0].p + 16), s[5].offset);
    EXPECT_EQ(be32(stco[1].p + 4), 4u);
    std::vector<Box> stsc = boxes(b, "stsc");
    ASSERT_EQ(stsc.size(), 2u);
    EXPECT_EQ(be32(stsc[0].p + 4), 3u) << "runs of 1, 2, 1 samples per chunk";
    EXPECT_TRUE(boxes(b, "elst").empty());
    EXPECT_TRUE(boxes(b, "co64").empty());

    /* avcC sits inside the sample entry, after its fixed fields. */
    std::string raw(b.b.begin(), b.b.end());
    size_t avcc = raw.find("avcC");
    ASSERT_NE(avcc, std::string::npos);
    EXPECT_EQ(b.b[avcc + 5], 0x64) << "profile from the SPS";
    EXPECT_EQ(b.b[avcc + 8], 0xFF) << "4-byte lengths";
    EXPECT_EQ(b.b[avcc + 9], 0xE1) << "one SPS";
}

TEST(MuxMp4, LateTrackGetsAnEmptyEditAndSingleVideoFrameANominalDuration)
{
    Config c = sample_config();
    std::vector<Sample> s = {{48, 1000, 0, kTrackVideo, 1}, {1048, 100, 500, kTrackAudio, 1}};
    Buf b;
    uint32_t total = 0;
    mp4_build_moov(c, s.data(), s.size(), &b, &total);
    std::vector<Box> stts = boxes(b, "stts");
    ASSERT_EQ(stts.size(), 2u);
    EXPECT_EQ(durations(stts[0]), std::vector<uint32_t>{3600}) << "90000 / 25";
    std::vector<Box> elst = boxes(b, "elst");
    ASSERT_EQ(elst.size(), 1u);
    ASSERT_EQ(be32(elst[0].p + 4), 2u);
    EXPECT_EQ(be32(elst[0].p + 8), 500u);
    EXPECT_EQ(be32(elst[0].p + 12), 0xFFFFFFFFu);
    EXPECT_EQ(total, 628u);
}

TEST(MuxMp4, LargeFilesUseWideOffsetsAndMdatSize)
{
    Config c = sample_config();
    uint64_t big = 5ull << 30;
    std::vector<Sample> s = {{48, 1000, 0, kTrackVideo, 1}, {big, 1000, 40, kTrackVideo, 0}};
    Buf b;
    uint32_t total;
    mp4_build_moov(c, s.data(), s.size(), &b, &total);
    EXPECT_EQ(boxes(b, "stco").size(), 0u);
    ASSERT_EQ(boxes(b, "co64").size(), 1u);

    uint8_t pre[kMp4HeaderSize];
    mp4_preamble(big + 1000, pre);
    EXPECT_EQ(be32(pre + 32), 1u) << "64-bit size in place of the free box";
    EXPECT_EQ(std::memcmp(pre + 36, "mdat", 4), 0);
    EXPECT_EQ((uint64_t(be32(pre + 40)) << 32) | be32(pre + 44), big + 1000 - 32);
    mp4_preamble(1048, pre);
    EXPECT_EQ(std::memcmp(pre + 36, "free", 4), 0);
    EXPECT_EQ(std::memcmp(pre + 44, "mdat", 4), 0);
    EXPECT_EQ(be32(pre + 40), 1048u - 40);
}

TEST(MuxAvi, HeaderHasTheDeclaredSizeAndIndexCountsFromMovi)
{
    for (uint8_t audio : {0, 1}) {
        Config c = sample_config();
        c.type = 0;
        c.has_audio = audio;
        c.data_offset = avi_header_size(c) - 4;
        Buf h;
        avi_build_header(c, AviCounts{}, &h);
        ASSERT_EQ(h.size(), avi_header_size(c));
        EXPECT_EQ(std::memcmp(h.b.data() + h.size() - 4, "movi", 4), 0);

        uint64_t first = avi_header_size(c) + 8;
        std::vector<Sample> s = {{first, 101, 0, kTrackVideo, 1},
                                 {first + 101 + 1 + 8, 50, 40, kTrackVideo, 0}};
        Buf idx;
        AviCounts k;
        avi_build_idx1(c, s.data(), s.size(), &idx, &k);
        EXPECT_EQ(k.video_frames, 2u);
        EXPECT_EQ(k.movi_end, first + 101 + 1 + 8 + 50);
        EXPECT_EQ(k.file_end, k.movi_end + idx.size());
        const uint8_t *e = idx.b.data() + 8;
        EXPECT_EQ(std::memcmp(e, "00dc", 4), 0);
        EXPECT_EQ(e[4], 0x10) << "key frame flag";
        EXPECT_EQ(e[8] | e[9] << 8, 4) << "offset of the chunk header from the movi fourcc";
        EXPECT_EQ(e[16 + 4], 0) << "no key frame flag";
        EXPECT_EQ(avi_total_ms(c, k), 80u);
    }
}

} // namespace
