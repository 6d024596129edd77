/*
 * Muxer end to end: real H.264 and AAC in, MP4 and AVI files out, checked
 * with ffprobe and by decoding them with ffmpeg; repair of torn files;
 * storage faults and injected failures.
 */
#include "mux_test_media.h"
#include "ozi_host.h"
#include "ozi_mux.h"
#include "ozi_mux_index.h"
#include "ozi_sdk.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

using namespace muxtest;

namespace {

constexpr uint64_t kBase = 5000000; /* ts of the first video frame, ms */
constexpr int kVideoStep = 40;
constexpr int kAudioStep = 128;

size_t video_bytes()
{
    size_t n = 0;
    for (const Bytes &b : media().video)
        n += b.size();
    return n;
}

const char *ext(ozi_mux_type t) { return t == MUX_TYPE_MP4 ? ".mp4" : ".avi"; }

std::vector<std::string> side_files(const std::string &path, ozi_mux_type t)
{
    if (t == MUX_TYPE_MP4)
        return {path + ".moov", path + ".stbl"};
    return {path + ".idx"};
}

ozi_mux_input make_input(ozi_mux_type t)
{
    return muxtest::input_320x240(t);
}

int start(int h, const std::string &path)
{
    ozi_mux_start_param p{};
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    p.file_path = buf.data();
    return ozi_mux_start(h, &p);
}

struct Fed {
    size_t video = 0;          /* video frames accepted */
    size_t video_failed = 0;
    size_t audio = 0;          /* audio frames handed over */
};

/* Feeds video frames [0, nv) 40 ms apart, except those in [lost_from,
 * lost_to), and after each every audio frame whose time has come, as the
 * recorder drains its queue.  Audio frame j carries kBase + audio_shift +
 * 128 j. */
Fed feed(int h, size_t nv, int64_t audio_shift = 0, size_t lost_from = 0, size_t lost_to = 0)
{
    const Media &m = media();
    Fed f;
    size_t j = 0;
    for (size_t i = 0; i < nv && i < m.video.size(); i++) {
        if (i >= lost_from && i < lost_to)
            continue;
        video_stream v{};
        v.data = const_cast<unsigned char *>(m.video[i].data());
        v.len = uint32_t(m.video[i].size());
        v.ts = kBase + i * kVideoStep;
        v.frame_type = m.key[i] ? FRAME_TYPE_I : FRAME_TYPE_P;
        if (ozi_mux_add_video(h, &v) == 0)
            f.video++;
        else
            f.video_failed++;
        for (; j < m.audio.size() && int64_t(kBase) + audio_shift + int64_t(j) * kAudioStep <=
                                         int64_t(v.ts);
             j++) {
            audio_stream a{};
            a.data = const_cast<unsigned char *>(m.audio[j].data());
            a.len = uint32_t(m.audio[j].size());
            a.ts = uint64_t(int64_t(kBase) + audio_shift + int64_t(j) * kAudioStep);
            ozi_mux_add_audio(h, &a);
            f.audio++;
        }
    }
    return f;
}

class MuxFile : public ::testing::TestWithParam<ozi_mux_type> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(media().error, "");
        ASSERT_GE(media().video.size(), 100u);
        ASSERT_GE(media().audio.size(), 31u);
        ozi_host_clear_faults();
        ASSERT_NE(dir_, "");
        path_ = dir_ + "/recording_now_tmp" + ext(GetParam());
        in_ = make_input(GetParam());
        ASSERT_EQ(ozi_mux_open(&in_, &h_), 0);
    }
    void TearDown() override
    {
        if (h_ >= 0)
            ozi_mux_close(h_);
        ozi_mux_set_journal_interval(1000);
    }
    tvrtest::ScratchDir scratch_{"mux_test"};
    std::string dir_ = scratch_.path(), path_;
    ozi_mux_input in_{};
    int h_ = -1;
};

std::string param_name(const ::testing::TestParamInfo<ozi_mux_type> &i)
{
    return i.param == MUX_TYPE_MP4 ? "Mp4" : "Avi";
}

TEST_P(MuxFile, WritesPlayableSegment)
{
    ASSERT_EQ(start(h_, path_), 0);
    for (const std::string &s : side_files(path_, GetParam()))
        EXPECT_TRUE(exists(s)) << s;
    Fed f = feed(h_, 100);
    ASSERT_EQ(f.video, 100u);
    ASSERT_EQ(ozi_mux_stop(h_), 0);
    for (const std::string &s : side_files(path_, GetParam()))
        EXPECT_FALSE(exists(s)) << s;

    Probe p = probe(path_);
    const Stream *v = p.find("video"), *a = p.find("audio");
    ASSERT_TRUE(v && a) << p.raw;
    EXPECT_EQ(v->codec, "h264");
    EXPECT_EQ(v->width, 320);
    EXPECT_EQ(v->height, 240);
    EXPECT_EQ(v->packets, 100);
    EXPECT_EQ(v->nb_frames, 100);
    EXPECT_EQ(a->codec, "aac");
    EXPECT_EQ(a->packets, long(f.audio));
    EXPECT_NEAR(p.duration, 4.0, 0.04) << p.raw;
    EXPECT_EQ(decode_errors(path_), "");
}

TEST_P(MuxFile, AudioOlderThanTheFirstFrameIsLeftOut)
{
    ASSERT_EQ(start(h_, path_), 0);
    /* Audio starts 1 s before the first picture: frames 0..7 lie more than
     * half a frame before it, frame 8 starts 24 ms after it. */
    Fed f = feed(h_, 100, -1000);
    ASSERT_EQ(ozi_mux_stop(h_), 0);
    Probe p = probe(path_);
    const Stream *a = p.find("audio");
    ASSERT_TRUE(a) << p.raw;
    EXPECT_EQ(a->packets, long(f.audio) - 8);
    EXPECT_NEAR(p.duration, 4.0, 0.04) << p.raw;
    EXPECT_EQ(decode_errors(path_), "");
    if (GetParam() == MUX_TYPE_MP4) {
        std::string st = run("ffprobe -v error -select_streams a -show_entries stream=start_time "
                             "-of csv=p=0 '" + path_ + "'");
        EXPECT_NEAR(std::atof(st.c_str()), 0.024, 0.002) << st;
    }
}

TEST_P(MuxFile, LostFramesKeepTheTimeOfLaterOnes)
{
    ASSERT_EQ(start(h_, path_), 0);
    Fed f = feed(h_, 100, 0, 30, 35);
    ASSERT_EQ(f.video, 95u);
    ASSERT_EQ(ozi_mux_stop(h_), 0);
    std::string times = run("ffprobe -v error -select_streams v -show_entries packet=dts_time "
                            "-of csv=p=0 '" + path_ + "'");
    std::vector<double> t;
    std::istringstream in(times);
    for (std::string line; std::getline(in, line);)
        t.push_back(std::atof(line.c_str()));
    ASSERT_EQ(t.size(), 95u) << times;
    EXPECT_NEAR(t[29], 1.16, 0.001);
    EXPECT_NEAR(t[30], 1.40, 0.001) << "the frame after the five lost ones";
    EXPECT_NEAR(t[94], 3.96, 0.001);
    Probe p = probe(path_);
    EXPECT_NEAR(p.duration, 4.0, 0.04) << p.raw;
    EXPECT_EQ(decode_errors(path_), "");
}

TEST_P(MuxFile, SeveralSegmentsOnOneHandle)
{
    for (int k = 0; k < 2; k++) {
        std::string path = dir_ + "/seg" + std::to_string(k) + ext(GetParam());
        ASSERT_EQ(start(h_, path), 0);
        feed(h_, 50 + 25 * k);
        ASSERT_EQ(ozi_mux_stop(h_), 0);
        Probe p = probe(path);
        ASSERT_TRUE(p.find("video")) << p.raw;
        EXPECT_EQ(p.find("video")->packets, 50 + 25 * k);
        EXPECT_EQ(decode_errors(path), "");
    }
    EXPECT_NE(ozi_mux_stop(h_), 0) << "nothing is open any more";
}

TEST_P(MuxFile, StartInMissingDirectoryFails)
{
    std::string path = dir_ + "/gone/x" + ext(GetParam());
    EXPECT_NE(start(h_, path), 0);
    video_stream v{};
    v.data = const_cast<unsigned char *>(media().video[0].data());
    v.len = uint32_t(media().video[0].size());
    EXPECT_NE(ozi_mux_add_video(h_, &v), 0);
    EXPECT_NE(ozi_mux_stop(h_), 0);
}

/* ---- repair ---------------------------------------------------------------- */

enum CutKind { kWhole, kMidSample, kSampleEnd, kInFirstSample, kHeaderOnly, kGarbageTail,
               kTornJournal, kRandom };

struct Cut {
    const char *name;
    CutKind kind;
    int arg;  /* sample index, or random seed */
};

const Cut kCuts[] = {
    {"whole", kWhole, 0},
    {"mid_sample_40", kMidSample, 40},
    {"mid_last_sample", kMidSample, -1},
    {"at_end_of_sample_17", kSampleEnd, 17},
    {"in_first_sample", kInFirstSample, 0},
    {"header_only", kHeaderOnly, 0},
    {"garbage_after_last", kGarbageTail, 0},
    {"journal_torn_after_30", kTornJournal, 30},
    {"random_1", kRandom, 1},
    {"random_2", kRandom, 2},
    {"random_3", kRandom, 3},
};

struct RepairCase {
    ozi_mux_type type;
    Cut cut;
};

std::vector<RepairCase> repair_cases()
{
    std::vector<RepairCase> v;
    for (ozi_mux_type t : {MUX_TYPE_MP4, MUX_TYPE_AVI})
        for (const Cut &c : kCuts)
            v.push_back({t, c});
    return v;
}

class MuxRepair : public ::testing::TestWithParam<RepairCase> {};

std::vector<ozimux::Sample> journal_samples(const Bytes &j)
{
    std::vector<ozimux::Sample> out;
    uint32_t first = 0;
    if (!ozimux::decode_journal_header(j.data(), j.size(), &first))
        return out;
    for (size_t off = first; off + ozimux::kRecordSize <= j.size(); off += ozimux::kRecordSize) {
        ozimux::Sample s;
        if (!ozimux::decode_record(&j[off], &s))
            break;
        out.push_back(s);
    }
    return out;
}

TEST_P(MuxRepair, RebuildsWhatWasWritten)
{
    const RepairCase rc = GetParam();
    const bool mp4 = rc.type == MUX_TYPE_MP4;
    ASSERT_EQ(media().error, "");
    ozi_host_clear_faults();
    tvrtest::ScratchDir tmp("mux_test");
    const std::string &dir = tmp.path();
    std::string live = dir + "/live" + ext(rc.type), copy = dir + "/copy" + ext(rc.type);
    ozi_mux_input in = make_input(rc.type);
    int h = -1;
    ASSERT_EQ(ozi_mux_open(&in, &h), 0);
    ozi_mux_set_journal_interval(0);
    time_t t0 = time(nullptr);
    ASSERT_EQ(start(h, live), 0);
    time_t t1 = time(nullptr);
    feed(h, 60);

    /* A crash now: copy what is on disk, then cut it. */
    Bytes rec = read_file(live);
    std::vector<std::string> live_sides = side_files(live, rc.type), copy_sides = side_files(copy, rc.type);
    std::vector<Bytes> sides;
    for (const std::string &s : live_sides)
        sides.push_back(read_file(s));
    ozi_mux_close(h);
    ozi_mux_set_journal_interval(1000);

    Bytes &journal = sides.back();
    std::vector<ozimux::Sample> all = journal_samples(journal);
    ASSERT_GE(all.size(), 75u);
    auto end_of = [&](const ozimux::Sample &s) {
        return s.offset + s.size + (mp4 ? 0 : (s.size & 1));
    };
    size_t cut = rec.size();
    switch (rc.cut.kind) {
    case kWhole:
        break;
    case kMidSample: {
        const ozimux::Sample &s = all[rc.cut.arg < 0 ? all.size() - 1 : size_t(rc.cut.arg)];
        cut = size_t(s.offset + s.size / 2);
        break;
    }
    case kSampleEnd:
        cut = size_t(end_of(all[size_t(rc.cut.arg)]));
        break;
    case kInFirstSample:
        cut = size_t(all[0].offset + 10);
        break;
    case kHeaderOnly:
        cut = 20;
        break;
    case kGarbageTail: {
        std::mt19937 rng(7);
        for (int i = 0; i < 5000; i++)
            rec.push_back(uint8_t(rng()));
        cut = rec.size();
        break;
    }
    case kTornJournal: {
        /* Records arg.. are gone; 7 bytes of the next one remain. */
        uint32_t first = 0;
        ASSERT_TRUE(ozimux::decode_journal_header(journal.data(), journal.size(), &first));
        journal.resize(first + size_t(rc.cut.arg) * ozimux::kRecordSize + 7);
        break;
    }
    case kRandom: {
        std::mt19937 rng(uint32_t(rc.cut.arg));
        cut = size_t(all[0].offset) + rng() % (rec.size() - size_t(all[0].offset));
        break;
    }
    }
    rec.resize(cut);
    write_file(copy, rec);
    for (size_t i = 0; i < sides.size(); i++)
        write_file(copy_sides[i], sides[i]);

    /* What must survive: the journalled samples that lie wholly in the file. */
    size_t n_journal = rc.cut.kind == kTornJournal ? size_t(rc.cut.arg) : all.size();
    size_t kept_v = 0, kept_a = 0;
    int64_t video_end = 0, audio_end = 0;
    for (size_t i = 0; i < n_journal && all[i].offset + all[i].size <= cut; i++) {
        if (all[i].track == ozimux::kTrackVideo) {
            kept_v++;
            video_end = all[i].ts_ms + kVideoStep;
        } else {
            kept_a++;
            audio_end = all[i].ts_ms + kAudioStep;
        }
    }

    auto fix = [&](mux_fileinfo *info) {
        FILE *r = fopen(copy.c_str(), "rb+");
        FILE *s0 = fopen(copy_sides[0].c_str(), "rb");
        FILE *s1 = mp4 ? fopen(copy_sides[1].c_str(), "rb") : nullptr;
        if (!r || !s0 || (mp4 && !s1))
            return -2;
        int res = mp4 ? ozi_mux_fix_file(r, nullptr, s0, s1, MUX_TYPE_MP4, info)
                      : ozi_mux_fix_file(r, s0, nullptr, nullptr, MUX_TYPE_AVI, info);
        /* The streams stay open for the caller. */
        EXPECT_EQ(fflush(r), 0);
        fclose(r);
        fclose(s0);
        if (s1)
            fclose(s1);
        return res;
    };
    mux_fileinfo info{};
    int res = fix(&info);

    if (kept_v + kept_a == 0) {
        EXPECT_NE(res, 0);
    } else {
        ASSERT_EQ(res, 0);
        int64_t expect_ms = std::max(video_end, audio_end);
        EXPECT_NEAR(double(info.total_ms), double(expect_ms), kVideoStep);
        Probe p = probe(copy);
        ASSERT_TRUE(p.find("video")) << p.raw;
        EXPECT_EQ(p.find("video")->packets, long(kept_v));
        long audio_packets = p.find("audio") ? p.find("audio")->packets : 0;
        EXPECT_EQ(audio_packets, long(kept_a));
        EXPECT_NEAR(p.duration * 1000, double(info.total_ms), kVideoStep) << p.raw;
        EXPECT_EQ(decode_errors(copy), "");
        struct stat st;
        ASSERT_EQ(stat(copy.c_str(), &st), 0);
        EXPECT_GE(st.st_mtime, t0);
        EXPECT_LE(st.st_mtime, t1);

        /* A crash after the repair and before the side files go: the
         * repair runs again and gives the same file. */
        Bytes once = read_file(copy);
        mux_fileinfo again{};
        EXPECT_EQ(fix(&again), 0);
        EXPECT_EQ(again.total_ms, info.total_ms);
        EXPECT_TRUE(read_file(copy) == once) << "a second repair changed the file";
    }
}

INSTANTIATE_TEST_SUITE_P(MuxCuts, MuxRepair, ::testing::ValuesIn(repair_cases()),
                         [](const ::testing::TestParamInfo<RepairCase> &i) {
                             return std::string(i.param.type == MUX_TYPE_MP4 ? "Mp4_" : "Avi_") +
                                    i.param.cut.name;
                         });

TEST_P(MuxFile, RepairRefusesForeignOrDamagedSideFiles)
{
    ozi_mux_set_journal_interval(0);
    ASSERT_EQ(start(h_, path_), 0);
    feed(h_, 30);
    std::vector<std::string> sides = side_files(path_, GetParam());
    Bytes first_side = read_file(sides[0]);
    mux_fileinfo info{};
    auto fix = [&](ozi_mux_type as) {
        FILE *r = fopen(path_.c_str(), "rb+");
        FILE *a = fopen(sides[0].c_str(), "rb");
        FILE *b = sides.size() > 1 ? fopen(sides[1].c_str(), "rb") : nullptr;
        int res = -1;
        if (as == MUX_TYPE_MP4)
            res = ozi_mux_fix_file(r, nullptr, a, b ? b : a, as, &info);
        else
            res = ozi_mux_fix_file(r, a, nullptr, nullptr, as, &info);
        fclose(r);
        fclose(a);
        if (b)
            fclose(b);
        return res;
    };
    ozi_mux_type other = GetParam() == MUX_TYPE_MP4 ? MUX_TYPE_AVI : MUX_TYPE_MP4;
    EXPECT_NE(fix(other), 0) << "side files of the other container";
    Bytes bad = first_side;
    bad[30] ^= 0x40;
    write_file(sides[0], bad);
    EXPECT_NE(fix(GetParam()), 0) << "configuration with a flipped bit";
    write_file(sides[0], first_side);
    ozi_host_fail("ozi_mux_fix_file", 0, 1);
    EXPECT_NE(fix(GetParam()), 0) << "injected failure";
    EXPECT_EQ(fix(GetParam()), 0);
    EXPECT_NE(ozi_mux_fix_file(nullptr, nullptr, nullptr, nullptr, GetParam(), &info), 0);
}

/* ---- storage faults ------------------------------------------------------- */

/* Lowers the file size limit for this process: writes beyond it fail with
 * EFBIG, as on a full disk. */
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        set(bytes);
    }
    void set(rlim_t bytes)
    {
        rlimit r = old_;
        r.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old_); }

private:
    rlimit old_{};
};

TEST_P(MuxFile, DiskFullLosesFramesNotTheFile)
{
    ozi_mux_set_journal_interval(0);
    ASSERT_EQ(start(h_, path_), 0);
    Fed f;
    {
        FileSizeLimit limit(video_bytes() / 2);
        f = feed(h_, 100);
        EXPECT_GT(f.video_failed, 0u);
        EXPECT_GT(f.video, 20u);
        /* The index does not fit either: stop fails and keeps the side files. */
        if (ozi_mux_stop(h_) != 0) {
            for (const std::string &s : side_files(path_, GetParam()))
                EXPECT_TRUE(exists(s)) << s;
        }
    }
    std::vector<std::string> sides = side_files(path_, GetParam());
    if (exists(sides[0])) {
        FILE *r = fopen(path_.c_str(), "rb+");
        FILE *a = fopen(sides[0].c_str(), "rb");
        FILE *b = sides.size() > 1 ? fopen(sides[1].c_str(), "rb") : nullptr;
        mux_fileinfo info{};
        EXPECT_EQ(GetParam() == MUX_TYPE_MP4 ? ozi_mux_fix_file(r, nullptr, a, b, MUX_TYPE_MP4, &info)
                                             : ozi_mux_fix_file(r, a, nullptr, nullptr, MUX_TYPE_AVI, &info),
                  0);
        fclose(r);
        fclose(a);
        if (b)
            fclose(b);
    }
    Probe p = probe(path_);
    ASSERT_TRUE(p.find("video")) << p.raw;
    EXPECT_EQ(p.find("video")->packets, long(f.video));
}

TEST_P(MuxFile, StopAfterWriteFailuresStillFinishes)
{
    ASSERT_EQ(start(h_, path_), 0);
    Fed f;
    {
        FileSizeLimit limit(video_bytes() / 3);
        f = feed(h_, 100);
    }
    EXPECT_GT(f.video_failed, 0u);
    EXPECT_EQ(ozi_mux_stop(h_), 0);
    for (const std::string &s : side_files(path_, GetParam()))
        EXPECT_FALSE(exists(s)) << s;
    Probe p = probe(path_);
    ASSERT_TRUE(p.find("video")) << p.raw;
    EXPECT_EQ(p.find("video")->packets, long(f.video));
}

TEST_P(MuxFile, InjectedVideoFailureDropsOneFrame)
{
    ASSERT_EQ(start(h_, path_), 0);
    ASSERT_EQ(ozi_host_fail("ozi_mux_add_video", 24, 1), 0); /* the frame before the 2nd I frame */
    Fed f = feed(h_, 100);
    EXPECT_EQ(f.video_failed, 1u);
    ASSERT_EQ(ozi_mux_stop(h_), 0);
    Probe p = probe(path_);
    ASSERT_TRUE(p.find("video")) << p.raw;
    EXPECT_EQ(p.find("video")->packets, 99);
    EXPECT_EQ(decode_errors(path_), "");
}

INSTANTIATE_TEST_SUITE_P(MuxContainers, MuxFile, ::testing::Values(MUX_TYPE_MP4, MUX_TYPE_AVI),
                         param_name);

/* ---- handles -------------------------------------------------------------- */

TEST(MuxHandles, TableIsBoundedAndChecked)
{
    ozi_host_clear_faults();
    ozi_mux_input in = make_input(MUX_TYPE_MP4);
    std::vector<int> hs;
    int h;
    while (hs.size() < 64 && ozi_mux_open(&in, &h) == 0)
        hs.push_back(h);
    EXPECT_EQ(hs.size(), 16u);
    ASSERT_EQ(ozi_mux_close(hs.back()), 0);
    EXPECT_NE(ozi_mux_close(hs.back()), 0) << "closed twice";
    EXPECT_NE(ozi_mux_stop(hs.back()), 0);
    ASSERT_EQ(ozi_mux_open(&in, &h), 0);
    EXPECT_EQ(h, hs.back()) << "the freed slot is reused";
    for (int x : hs)
        EXPECT_EQ(ozi_mux_close(x), 0);
    EXPECT_NE(ozi_mux_close(-1), 0);
    EXPECT_NE(ozi_mux_close(1000), 0);

    ASSERT_EQ(ozi_host_fail("ozi_mux_open", 0, 1), 0);
    EXPECT_NE(ozi_mux_open(&in, &h), 0);
    ASSERT_EQ(ozi_mux_open(&in, &h), 0);
    ASSERT_EQ(ozi_host_fail("ozi_mux_start", 0, 1), 0);
    tvrtest::ScratchDir tmp("mux_test");
    const std::string &dir = tmp.path();
    EXPECT_NE(start(h, dir + "/x.mp4"), 0);
    EXPECT_FALSE(exists(dir + "/x.mp4"));
    EXPECT_EQ(ozi_mux_close(h), 0);

    in.video_type = HEVC_ENC_TYPE;
    EXPECT_NE(ozi_mux_open(&in, &h), 0) << "only H.264 is stored";
    in = make_input(MUX_TYPE_NUM);
    EXPECT_NE(ozi_mux_open(&in, &h), 0);
}

TEST(MuxHandles, MuxersOnSeveralThreads)
{
    ASSERT_EQ(media().error, "");
    ozi_host_clear_faults();
    tvrtest::ScratchDir tmp("mux_test");
    const std::string &dir = tmp.path();
    std::vector<std::string> paths;
    std::vector<std::thread> threads;
    for (int k = 0; k < 3; k++)
        paths.push_back(dir + "/t" + std::to_string(k) + (k % 2 ? ".avi" : ".mp4"));
    for (int k = 0; k < 3; k++) {
        threads.emplace_back([&, k] {
            ozi_mux_input in = make_input(k % 2 ? MUX_TYPE_AVI : MUX_TYPE_MP4);
            int h;
            if (ozi_mux_open(&in, &h) != 0)
                return;
            if (start(h, paths[size_t(k)]) == 0) {
                feed(h, 50);
                ozi_mux_stop(h);
            }
            ozi_mux_close(h);
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (const std::string &p : paths) {
        Probe pr = probe(p);
        ASSERT_TRUE(pr.find("video")) << p << pr.raw;
        EXPECT_EQ(pr.find("video")->packets, 50) << p;
    }
}

} // namespace
