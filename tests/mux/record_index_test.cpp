/*
 * The footage listing: indexes of muxer-made MP4 and AVI files read back
 * (cross-checked with ffprobe), file names, and the gaps between files.
 */
#include "footage_index.h"
#include "mux_test_media.h"
#include "ozi_host.h"
#include "ozi_sdk.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>

using namespace muxtest;

namespace {

constexpr uint64_t kBase = 7000000; /* frame clock of the first video frame, ms */

footage::FileIndex index_file(const std::string &path)
{
    Bytes b = read_file(path);
    auto rd = [&b](uint64_t off, size_t n, uint8_t *out) {
        if (off > b.size() || n > b.size() - off)
            return false;
        std::memcpy(out, b.data() + off, n);
        return true;
    };
    return footage::read_index(rd, b.size());
}

struct MadeCase {
    const char *name;
    ozi_mux_type type;
    size_t frames;         /* video frames fed, 40 ms apart */
    int64_t audio_from;    /* first audio frame's time relative to the first video frame */
    int64_t audio_to;      /* no audio at or after this time */
    bool stop;             /* ozi_mux_stop called (else the file has no index) */
};

const MadeCase kMade[] = {
    {"mp4_av", MUX_TYPE_MP4, 75, 0, 3000, true},
    {"mp4_audio_late_early_end", MUX_TYPE_MP4, 75, 256, 2000, true},
    {"mp4_video_only", MUX_TYPE_MP4, 50, 0, 0, true},
    {"mp4_open", MUX_TYPE_MP4, 50, 0, 2000, false},
    {"avi_av", MUX_TYPE_AVI, 75, 0, 3000, true},
    {"avi_video_only", MUX_TYPE_AVI, 50, 0, 0, true},
    {"avi_open", MUX_TYPE_AVI, 50, 0, 2000, false},
};

void PrintTo(const MadeCase &c, std::ostream *os) { *os << c.name; }

class RecordIndexMade : public ::testing::TestWithParam<MadeCase> {};

TEST_P(RecordIndexMade, ReadsWhatTheMuxerWrote)
{
    const MadeCase c = GetParam();
    ASSERT_EQ(media().error, "");
    ozi_host_clear_faults();
    tvrtest::ScratchDir scratch("record_index_test");
    ASSERT_NE(scratch.path(), "");
    const std::string path = scratch / (c.type == MUX_TYPE_MP4 ? "f.mp4" : "f.avi");
    ozi_mux_input in = input_320x240(c.type);
    int h = -1;
    ASSERT_EQ(ozi_mux_open(&in, &h), 0);
    ozi_mux_start_param p{};
    std::string pathbuf = path;
    p.file_path = &pathbuf[0];
    ASSERT_EQ(ozi_mux_start(h, &p), 0);
    size_t audio = 0;
    for (size_t i = 0; i < c.frames; i++) {
        video_stream v{};
        v.data = const_cast<unsigned char *>(media().video[i].data());
        v.len = uint32_t(media().video[i].size());
        v.ts = kBase + i * 40;
        v.frame_type = media().key[i] ? FRAME_TYPE_I : FRAME_TYPE_P;
        ASSERT_EQ(ozi_mux_add_video(h, &v), 0);
        for (int64_t at = c.audio_from + int64_t(audio) * 128; at < c.audio_to && at <= int64_t(i * 40);
             at = c.audio_from + int64_t(audio) * 128) {
            audio_stream a{};
            a.data = const_cast<unsigned char *>(media().audio[audio].data());
            a.len = uint32_t(media().audio[audio].size());
            a.ts = kBase + uint64_t(at);
            ASSERT_EQ(ozi_mux_add_audio(h, &a), 0);
            audio++;
        }
    }
    if (c.stop) {
        ASSERT_EQ(ozi_mux_stop(h), 0);
    }
    footage::FileIndex fi = index_file(path);
    ozi_mux_close(h);

    EXPECT_EQ(fi.container, c.type == MUX_TYPE_MP4 ? "mp4" : "avi");
    if (!c.stop) {
        EXPECT_FALSE(fi.indexed);
        EXPECT_NE(fi.error, "");
        return;
    }
    ASSERT_TRUE(fi.indexed) << fi.error;
    /* The index lies at the end: no cut of the file has one. */
    const Bytes whole = read_file(path);
    for (size_t k = 1; k < 64; k++) {
        const size_t cut = whole.size() * k / 64;
        auto rd = [&whole, cut](uint64_t off, size_t n, uint8_t *out) {
            if (off > cut || n > cut - off)
                return false;
            std::memcpy(out, whole.data() + off, n);
            return true;
        };
        footage::FileIndex part = footage::read_index(rd, cut);
        EXPECT_FALSE(part.indexed) << "cut at " << cut;
        EXPECT_NE(part.error, "") << "cut at " << cut;
    }
    EXPECT_EQ(fi.origin_ts_ms, kBase);
    EXPECT_NE(fi.origin_wall_ms, 0);
    EXPECT_EQ(fi.video.frames, c.frames);
    EXPECT_EQ(fi.video.first_ms, 0);
    EXPECT_EQ(fi.video.end_ms, int64_t(c.frames) * 40);
    EXPECT_EQ(fi.audio.frames, audio);
    if (audio) {
        /* AVI has no audio start of its own: its audio plays from 0. */
        int64_t first = c.type == MUX_TYPE_MP4 ? c.audio_from : 0;
        EXPECT_EQ(fi.audio.first_ms, first);
        EXPECT_EQ(fi.audio.end_ms, first + int64_t(audio) * 128);
    }
    /* What a player reads agrees. */
    Probe pr = probe(path);
    ASSERT_TRUE(pr.find("video")) << pr.raw;
    EXPECT_EQ(pr.find("video")->packets, long(fi.video.frames));
    if (audio) {
        ASSERT_TRUE(pr.find("audio")) << pr.raw;
        EXPECT_EQ(pr.find("audio")->packets, long(fi.audio.frames));
        EXPECT_NEAR(pr.find("audio")->duration * 1000, double(fi.audio.end_ms - fi.audio.first_ms), 2);
    }
    EXPECT_NEAR(pr.find("video")->duration * 1000, double(fi.video.end_ms - fi.video.first_ms), 2);
}

INSTANTIATE_TEST_SUITE_P(Files, RecordIndexMade, ::testing::ValuesIn(kMade),
                         [](const ::testing::TestParamInfo<MadeCase> &i) { return std::string(i.param.name); });

/* Damaged bytes never crash the reader and never yield an index. */
TEST(RecordIndex, TornOrForeignBytesHaveNoIndex)
{
    const std::vector<Bytes> cases = {
        {},
        {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '},
        {0, 0, 0, 16, 'm', 'o', 'o', 'v', 0, 0, 0, 8, 'm', 'v', 'h', 'd'},
        {0, 0, 0, 1, 'm', 'd', 'a', 't', 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
        {0, 0, 0, 0, 'm', 'd', 'a', 't', 1, 2, 3, 4, 5, 6, 7, 8},
        Bytes(64, 0xAB),
    };
    for (const Bytes &b : cases) {
        auto rd = [&b](uint64_t off, size_t n, uint8_t *out) {
            if (off > b.size() || n > b.size() - off)
                return false;
            std::memcpy(out, b.data() + off, n);
            return true;
        };
        footage::FileIndex fi = footage::read_index(rd, b.size());
        EXPECT_FALSE(fi.indexed);
        EXPECT_NE(fi.error, "");
    }
}

TEST(RecordIndex, Names)
{
    struct Row {
        const char *path;
        bool ok;
        bool repaired;
        int hour, min, sec;
        uint64_t ms;
    } rows[] = {
        {"20261208/tavro_074001_00062000.mp4", true, false, 7, 40, 1, 62000},
        {"20261208/074001_00003120.avi", true, true, 7, 40, 1, 3120},
        {"20261208/tavro_235959_00062000_2.mp4", true, false, 23, 59, 59, 62000},
        {"x/20261208/tavro_000000_123456789.mp4", true, false, 0, 0, 0, 123456789},
        {"recording_now_tmp.mp4", false, false, 0, 0, 0, 0},
        {"unfiled_20261208_tavro_074001_00062000.mp4", false, false, 0, 0, 0, 0},
        {"20261208/tavro_074001_0006200.mp4", false, false, 0, 0, 0, 0},
        {"20261208/tavro_074001_00062000.mkv", false, false, 0, 0, 0, 0},
        {"20261308/tavro_074001_00062000.mp4", false, false, 0, 0, 0, 0},
        {"20261208/tavro_246001_00062000.mp4", false, false, 0, 0, 0, 0},
        {"2026120/tavro_074001_00062000.mp4", false, false, 0, 0, 0, 0},
        {"20261208/tavro_074001_00062000_x.mp4", false, false, 0, 0, 0, 0},
    };
    for (const Row &r : rows) {
        footage::NameInfo n;
        EXPECT_EQ(footage::parse_name(r.path, &n), r.ok) << r.path;
        if (!r.ok)
            continue;
        EXPECT_EQ(n.repaired, r.repaired) << r.path;
        EXPECT_EQ(n.year * 10000 + n.mon * 100 + n.day, 20261208) << r.path;
        EXPECT_EQ(n.hour * 3600 + n.min * 60 + n.sec, r.hour * 3600 + r.min * 60 + r.sec) << r.path;
        EXPECT_EQ(n.ms, r.ms) << r.path;
    }
}

/* An indexed file: origin on both clocks, video [0, len). */
footage::Entry made(const char *path, int64_t wall, uint64_t ts, int64_t len)
{
    footage::Entry e;
    e.path = path;
    e.named = footage::parse_name(path, &e.name);
    e.index.indexed = true;
    e.index.origin_wall_ms = wall;
    e.index.origin_ts_ms = ts;
    e.index.video.frames = uint32_t(len / 40);
    e.index.video.end_ms = len;
    return e;
}

TEST(RecordIndex, GapsBetweenFiles)
{
    /* Names in a zone where the date's midnight is wall 0. */
    auto to_wall = [](const footage::NameInfo &n) {
        return int64_t((n.hour * 60 + n.min) * 60 + n.sec) * 1000;
    };
    footage::Entry unindexed;
    unindexed.path = "20261208/000200_00004000.mp4";
    unindexed.named = footage::parse_name(unindexed.path, &unindexed.name);
    struct Row {
        const char *what;
        std::vector<footage::Entry> in;
        std::vector<int64_t> gaps; /* in start order, last has none */
    } rows[] = {
        {"abutting on the frame clock, wall clock jittered",
         {made("20261208/tavro_000004_00004000.mp4", 4030, 104000, 4000),
          made("20261208/tavro_000000_00004000.mp4", 0, 100000, 4000)},
         {0}},
        {"a 2 s hole and a 40 ms overlap",
         {made("a/20261208/tavro_000000_00004000.mp4", 0, 100000, 4000),
          made("a/20261208/tavro_000006_00004000.mp4", 6000, 106000, 4000),
          made("a/20261208/tavro_000009_00004000.mp4", 9960, 109960, 4000)},
         {2000, -40}},
        {"frame clock restarted (reboot): wall clock",
         {made("20261208/tavro_000000_00004000.mp4", 0, 100000, 4000),
          made("20261208/tavro_000100_00004000.mp4", 100000, 5000, 4000)},
         {96000}},
        {"no index: name and its length",
         {made("20261208/tavro_000000_00004000.mp4", 0, 100000, 4000), unindexed},
         {116000}},
    };
    for (Row &r : rows) {
        footage::build_listing(&r.in, to_wall);
        ASSERT_EQ(r.in.size(), r.gaps.size() + 1) << r.what;
        for (size_t i = 0; i < r.gaps.size(); i++) {
            EXPECT_TRUE(r.in[i].has_next) << r.what;
            EXPECT_EQ(r.in[i].gap_ms, r.gaps[i]) << r.what << " #" << i;
        }
        EXPECT_FALSE(r.in.back().has_next) << r.what;
        const std::string json = footage::format_json("d", r.in);
        EXPECT_NE(json.find("\"gap_to_next_ms\":" + std::to_string(r.gaps[0])), std::string::npos)
            << json;
    }
}

} // namespace
