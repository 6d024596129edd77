/*
 * Segment state machine and queue walks of the recorder, driven with
 * synthetic frames and a recording fake sink: no threads, clocks or muxer.
 */
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tvr_record.h"

namespace {

/* One segment file as the fake muxer saw it. */
struct FakeFile {
    strm_date date{};
    std::vector<std::string> items;  /* "v<ts>" and "a<ts>" in write order */
    bool closed = false;
    uint64_t ms = 0;
};

/* Fake sink: an in-memory audio queue walked with the real rec_audio_walk,
 * and files that record what was written. */
class Harness {
public:
    explicit Harness(int time_sec = 60, int track = 0, uint64_t audio_wait = 0) : track_(track)
    {
        params_.time_sec = time_sec;
        params_.write_video = track != 2;
        params_.audio_wait_ms = audio_wait;
        INIT_LIST_HEAD(&audio_head_);
        sink_ = {this, &Harness::start, &Harness::add_video, &Harness::drain, &Harness::close};
    }

    rec_step_result frame(uint64_t ts, frame_type type, int hour = 12)
    {
        venc_stream_entry e{};
        e.order = order++;
        e.stream.ts = ts;
        e.stream.frame_type = type;
        e.stream.len = 10;
        if (type == FRAME_TYPE_I)
            e.date = strm_date{2023, 2, 10, hour, 0, (int)(ts / 1000 % 60), 0};
        return rec_seg_step(&st_, &params_, &e, &sink_);
    }
    int finish() { return rec_seg_finish(&st_, &sink_); }
    ~Harness() { rec_seg_free(&st_); }
    rec_step_result I(uint64_t ts) { return frame(ts, FRAME_TYPE_I); }
    rec_step_result P(uint64_t ts) { return frame(ts, FRAME_TYPE_P); }

    void audio(uint64_t ts)
    {
        auto e = std::make_unique<aenc_stream_entry>();
        e->stream.ts = ts;
        list_add_tail(&e->list, &audio_head_);
        audio_.push_back(std::move(e));
    }
    int audio_unflagged() const
    {
        int n = 0;
        for (auto &e : audio_)
            n += e->flag == 0;
        return n;
    }

    /* add_video results to hand out, front first; then success. */
    std::deque<int> video_results;
    std::deque<int> start_results;
    std::vector<FakeFile> files;
    rec_seg_state st_{};
    uint32_t order = 0;  /* of the next frame; raise it to lose frames */

    std::string file_items(size_t i) const
    {
        std::string s;
        for (auto &it : files.at(i).items)
            s += (s.empty() ? "" : " ") + it;
        return s;
    }

private:
    static int start(void *ctx, const strm_date *date)
    {
        auto *h = static_cast<Harness *>(ctx);
        int r = 0;
        if (!h->start_results.empty()) {
            r = h->start_results.front();
            h->start_results.pop_front();
        }
        if (r == 0) {
            EXPECT_TRUE(h->files.empty() || h->files.back().closed) << "opened over an open file";
            h->files.push_back(FakeFile{});
            h->files.back().date = *date;
        }
        return r;
    }
    static int add_video(void *ctx, const struct video_stream *f)
    {
        auto *h = static_cast<Harness *>(ctx);
        EXPECT_FALSE(h->files.empty() || h->files.back().closed) << "video without an open file";
        int r = 0;
        if (!h->video_results.empty()) {
            r = h->video_results.front();
            h->video_results.pop_front();
        }
        if (r == 0)
            h->files.back().items.push_back("v" + std::to_string(f->ts));
        return r;
    }
    static int add_audio(void *ctx, struct audio_stream *s)
    {
        auto *h = static_cast<Harness *>(ctx);
        EXPECT_FALSE(h->files.empty() || h->files.back().closed) << "audio without an open file";
        h->files.back().items.push_back("a" + std::to_string(s->ts));
        return 0;
    }
    static int drain(void *ctx, rec_audio_mode mode, uint64_t limit)
    {
        auto *h = static_cast<Harness *>(ctx);
        int later = 0;
        rec_audio_walk(&h->audio_head_, mode, limit, h->track_ == 1 ? nullptr : add_audio, h,
                       &later);
        return later;
    }
    static void close(void *ctx, const strm_date *date, uint64_t ms)
    {
        auto *h = static_cast<Harness *>(ctx);
        ASSERT_FALSE(h->files.empty());
        EXPECT_EQ(h->files.back().date.hour, date->hour);
        h->files.back().closed = true;
        h->files.back().ms = ms;
    }

    int track_;
    rec_seg_params params_{};
    rec_seg_sink sink_{};
    list_head audio_head_{};
    std::vector<std::unique_ptr<aenc_stream_entry>> audio_;
};

TEST(RecorderSegment, PFramesBeforeFirstIFrameAreDropped)
{
    Harness h;
    EXPECT_EQ(h.P(0), REC_STEP_DROPPED);
    EXPECT_EQ(h.frame(40, FRAME_TYPE_PI), REC_STEP_DROPPED);
    EXPECT_EQ(h.I(80), REC_STEP_WRITTEN);
    EXPECT_EQ(h.P(120), REC_STEP_WRITTEN);
    ASSERT_EQ(h.files.size(), 1u);
    EXPECT_EQ(h.file_items(0), "v80 v120");
    EXPECT_EQ(h.st_.ts_start_ms, 80u);
}

TEST(RecorderSegment, ClosesAtFirstIFrameAtSegmentLengthPlus100ms)
{
    struct Row {
        int time_sec;
        uint64_t elapsed;
        bool closes;
    } rows[] = {
        {60, 60099, false}, {60, 60100, true}, {60, 62000, true},
        {0, 0, false},      {0, 99, false},    {0, 100, true},
        {1, 1099, false},   {1, 1100, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("time_sec " + std::to_string(r.time_sec) + " elapsed " +
                     std::to_string(r.elapsed));
        Harness h(r.time_sec);
        const uint64_t t0 = 5000;
        h.I(t0);
        h.P(t0 + 40);
        EXPECT_EQ(h.I(t0 + r.elapsed), r.closes ? REC_STEP_CLOSED : REC_STEP_WRITTEN);
        EXPECT_EQ(h.files[0].closed, r.closes);
        if (r.closes) {
            EXPECT_EQ(h.files[0].ms, r.elapsed);
            EXPECT_EQ(h.st_.recorded_ms, r.elapsed);
            /* The next file is open and starts at the closing frame. */
            ASSERT_EQ(h.files.size(), 2u);
            EXPECT_EQ(h.st_.ts_start_ms, t0 + r.elapsed);
        }
    }
}

TEST(RecorderSegment, ClosingIFrameIsTheFirstFrameOfTheNextFile)
{
    Harness h(2);
    h.I(0);
    h.P(1000);
    EXPECT_EQ(h.I(2100), REC_STEP_CLOSED);
    EXPECT_EQ(h.P(2140), REC_STEP_WRITTEN);
    EXPECT_EQ(h.I(4100), REC_STEP_WRITTEN);  /* 2000 ms into the new file */
    ASSERT_EQ(h.files.size(), 2u);
    EXPECT_EQ(h.file_items(0), "v0 v1000");
    EXPECT_EQ(h.file_items(1), "v2100 v2140 v4100");
    EXPECT_EQ(h.files[0].ms, 2100u);
    EXPECT_EQ(h.st_.ts_start_ms, 2100u);
}

TEST(RecorderSegment, SegmentIsDatedByItsFirstFrame)
{
    Harness h(2);
    h.frame(0, FRAME_TYPE_I, 23);
    h.frame(2200, FRAME_TYPE_I, 0);  /* closes; dated 23h all the same */
    EXPECT_TRUE(h.files[0].closed);
    EXPECT_EQ(h.files[0].date.hour, 23);
    h.frame(4400, FRAME_TYPE_I, 0);
    EXPECT_EQ(h.files[1].date.hour, 0);
}

TEST(RecorderSegment, ThirdFailedVideoWriteClosesEvenWithSuccessesBetween)
{
    Harness h;
    h.video_results = {0, -1, 0, -1, 0, 0, -1};
    EXPECT_EQ(h.I(1000), REC_STEP_WRITTEN);
    h.audio(1010);
    EXPECT_EQ(h.P(1040), REC_STEP_WRITTEN);  /* failure 1 */
    EXPECT_EQ(h.P(1080), REC_STEP_WRITTEN);
    EXPECT_EQ(h.P(1120), REC_STEP_WRITTEN);  /* failure 2 */
    EXPECT_EQ(h.P(1160), REC_STEP_WRITTEN);
    EXPECT_EQ(h.P(1200), REC_STEP_WRITTEN);
    h.audio(1210);
    EXPECT_EQ(h.P(1240), REC_STEP_CLOSED_ERR);  /* failure 3 */
    ASSERT_TRUE(h.files[0].closed);
    EXPECT_EQ(h.files[0].ms, 240u);
    /* The file ends at the failing frame, with the audio before it. */
    EXPECT_EQ(h.file_items(0), "v1000 a1010 v1080 v1160 v1200 a1210");
    EXPECT_EQ(h.audio_unflagged(), 0);

    /* Count starts again in the next segment: two failures do not close. */
    h.video_results = {-1, -1, 0};
    EXPECT_EQ(h.P(1280), REC_STEP_DROPPED);
    EXPECT_EQ(h.I(3000), REC_STEP_WRITTEN);  /* failure 1 */
    EXPECT_EQ(h.P(3040), REC_STEP_WRITTEN);  /* failure 2 */
    EXPECT_EQ(h.P(3080), REC_STEP_WRITTEN);
    EXPECT_FALSE(h.files[1].closed);
    EXPECT_EQ(h.file_items(1), "v3080");
}

TEST(RecorderSegment, AudioGoesIntoTheFileWhoseSpanHoldsItsTimeStamp)
{
    Harness h(2);
    h.audio(990);   /* before the first file: in none */
    h.I(1000);
    h.audio(1000);
    h.audio(1032);
    h.P(1040);
    h.audio(3099);
    h.audio(3100);  /* at the closing frame: the next file's */
    h.audio(3132);
    EXPECT_EQ(h.I(3100), REC_STEP_CLOSED);
    EXPECT_EQ(h.file_items(0), "v1000 v1040 a1000 a1032 a3099");
    EXPECT_EQ(h.audio_unflagged(), 2);
    h.P(3140);
    h.audio(4000);
    h.P(3180);
    EXPECT_EQ(h.file_items(1), "v3100 v3140 a3100 a3132 v3180");
    EXPECT_EQ(h.audio_unflagged(), 1);  /* a4000 waits for its video */
}

TEST(RecorderSegment, VideoOnlyMarksAudioWithoutWritingIt)
{
    Harness h(60, 1);
    h.audio(10);
    h.I(100);
    h.audio(110);
    h.P(140);
    EXPECT_EQ(h.file_items(0), "v100 v140");
    EXPECT_EQ(h.audio_unflagged(), 0);
}

TEST(RecorderSegment, AudioOnlyIsTimedByIFramesButWritesNoVideo)
{
    Harness h(2, 2);
    h.video_results = {-1, -1, -1, -1};  /* would close the segment if used */
    h.audio(0);
    h.I(10);
    h.P(50);
    h.audio(60);
    h.P(90);
    EXPECT_EQ(h.I(2200), REC_STEP_CLOSED);
    EXPECT_EQ(h.file_items(0), "a60");  /* a0 precedes the segment */
    EXPECT_EQ(h.files[0].ms, 2190u);
    EXPECT_EQ(h.video_results.size(), 4u);
}

TEST(RecorderSegment, FailedStartIsRetriedAtNextIFrameWithNewStart)
{
    Harness h(2);
    h.start_results = {-1};
    h.audio(900);
    EXPECT_EQ(h.I(1000), REC_STEP_START_FAILED);
    EXPECT_EQ(h.audio_unflagged(), 0);  /* in no file: dropped */
    h.audio(2990);
    h.audio(3010);
    EXPECT_EQ(h.P(1040), REC_STEP_DROPPED);
    EXPECT_EQ(h.I(3000), REC_STEP_WRITTEN);
    EXPECT_EQ(h.st_.ts_start_ms, 3000u);
    EXPECT_EQ(h.P(3040), REC_STEP_WRITTEN);
    EXPECT_EQ(h.file_items(0), "v3000 v3040 a3010");
    /* Timed from the retried start, not from the failed one. */
    EXPECT_EQ(h.I(5099), REC_STEP_WRITTEN);
    EXPECT_EQ(h.I(5100), REC_STEP_CLOSED);
    EXPECT_EQ(h.files[0].ms, 2100u);
}

TEST(RecorderSegment, AudioQueueStaysBoundedWhileNoFileCanBeOpened)
{
    Harness h(2);
    h.start_results = {-1, -1, -1, -1, -1, -1, -1, -1};
    int expected = 0;
    for (uint64_t t = 0; t <= 20000; t += 32) {
        h.audio(t);
        expected += t >= 15000;
    }
    for (uint64_t t = 1000; t <= 16000; t += 2000)
        EXPECT_EQ(h.I(t), REC_STEP_START_FAILED);
    /* The last failed start was at 15000: audio before it is in no file. */
    EXPECT_EQ(h.audio_unflagged(), expected);
    EXPECT_TRUE(h.files.empty());
}

/* The newest frame lasts as long as the step before it (as the muxer times
 * it), also in a one-frame file after a gapless close. */
TEST(RecorderSegment, StoppingClosesTheOpenSegmentWhereItsNewestFrameEnds)
{
    Harness h;
    EXPECT_EQ(h.finish(), 0);  /* nothing open */
    h.P(0);
    h.I(1000);
    EXPECT_EQ(h.finish(), 1);
    EXPECT_EQ(h.files.at(0).ms, 0u) << "one frame, no step seen yet";
    h.I(2000);
    h.P(2040);
    h.P(2080);
    h.audio(2100);
    h.audio(2130);
    EXPECT_EQ(h.finish(), 1);
    EXPECT_EQ(h.file_items(1), "v2000 v2040 v2080 a2100");
    EXPECT_EQ(h.files.at(1).ms, 120u);
    EXPECT_EQ(h.finish(), 0);

    Harness gapless(2);
    gapless.I(0);
    gapless.P(40);
    gapless.I(2100);  /* closes [0, 2100), opens the next file */
    EXPECT_EQ(gapless.finish(), 1);
    ASSERT_EQ(gapless.files.size(), 2u);
    EXPECT_EQ(gapless.files[0].ms, 2100u);
    EXPECT_EQ(gapless.files[1].ms, 40u) << "the step of the frames before the close";
}

/* A camera stream through the state machine: video every frame_ms with an
 * I frame every 2 s from t = 500, AAC frames every 128 ms from t = 0 that
 * reach the queue `delay` ms after their time stamp (the encoder's delay).
 * Consecutive files must abut (the first frame of file n + 1 is the frame
 * that closed file n), and no video or audio frame may be in two files or,
 * within the recorded span, in none. */
TEST(RecorderSegment, ConsecutiveFilesAbutAndEveryFrameIsInExactlyOneFile)
{
    struct Row {
        const char *name;
        int time_sec, track;
        uint64_t frame_ms, delay, wait, end_ms;
        bool audio_lost;  /* audio later than the wait is lost at each close */
    } rows[] = {
        {"defaults", 60, 0, 40, 400, 416, 200000, false},
        {"short segments", 4, 0, 40, 400, 416, 30000, false},
        {"audio without delay", 4, 0, 40, 0, 416, 30000, false},
        {"sub channel 20 fps", 4, 0, 50, 400, 416, 30000, false},
        {"audio later than the wait", 4, 0, 40, 700, 416, 30000, true},
        {"hold fills up", 4, 0, 40, 2000, 3000, 30000, true},
        {"video only", 4, 1, 40, 400, 0, 30000, false},
        {"audio only", 4, 2, 40, 400, 416, 30000, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Harness h(r.time_sec, r.track, r.wait);
        std::vector<uint64_t> audio;
        uint64_t next_audio = 0;
        for (uint64_t t = 500; t < r.end_ms; t += r.frame_ms) {
            for (; next_audio + r.delay <= t; next_audio += 128) {
                h.audio(next_audio);
                audio.push_back(next_audio);
            }
            h.frame(t, (t - 500) % 2000 == 0 ? FRAME_TYPE_I : FRAME_TYPE_P);
        }
        h.finish();
        ASSERT_GE(h.files.size(), 2u);

        std::map<uint64_t, int> vseen, aseen;
        uint64_t prev_end = 0;
        for (size_t k = 0; k < h.files.size(); k++) {
            SCOPED_TRACE("file " + std::to_string(k));
            const FakeFile &f = h.files[k];
            ASSERT_TRUE(f.closed);
            uint64_t start = 0;
            bool first = true;
            for (const std::string &it : f.items) {
                const uint64_t ts = std::stoull(it.substr(1));
                if (it[0] == 'v') {
                    if (first)
                        start = ts;
                    first = false;
                    vseen[ts]++;
                } else {
                    aseen[ts]++;
                }
            }
            if (r.track == 2) {
                start = k == 0 ? 500 : prev_end;  /* timed by video it does not write */
            } else {
                ASSERT_FALSE(first) << "file without video";
            }
            if (k > 0) {
                EXPECT_EQ(start, prev_end) << "files do not abut";
            }
            if (k + 1 < h.files.size()) {
                EXPECT_GE(f.ms, (uint64_t)r.time_sec * 1000 + 100);
            }
            const uint64_t end = start + f.ms;
            for (const std::string &it : f.items) {
                const uint64_t ts = std::stoull(it.substr(1));
                if (it[0] == 'a') {
                    EXPECT_TRUE(ts >= start && ts < end)
                        << it << " outside [" << start << ", " << end << ")";
                }
            }
            prev_end = end;
        }
        for (auto &v : vseen)
            EXPECT_EQ(v.second, 1) << "video " << v.first;
        if (r.track != 2) {
            EXPECT_EQ(vseen.size(), (prev_end - 500) / r.frame_ms) << "video frames lost";
        }
        for (auto &a : aseen)
            EXPECT_EQ(a.second, 1) << "audio " << a.first;
        if (r.track == 1) {
            EXPECT_TRUE(aseen.empty());
            continue;
        }
        /* Audio from the first file's start to the last file's start. */
        const uint64_t last_start = prev_end - h.files.back().ms;
        int lost = 0;
        for (uint64_t ts : audio) {
            if (ts < 500 || ts >= last_start || aseen.count(ts))
                continue;
            lost++;
            EXPECT_TRUE(r.audio_lost) << "audio " << ts << " in no file";
        }
        if (r.audio_lost) {
            EXPECT_GT(lost, 0) << "late audio was expected to be lost";
        }
    }
}

/* Frames lost in the queue (a step in `order`): P frames after the loss
 * depend on what was lost, so none is written or held until an I frame.
 * Script: I<ts>, P<ts> frames, a<ts> audio, -<n> frames lost. */
TEST(RecorderSegment, AfterLostFramesWritingResumesAtTheNextIFrame)
{
    struct Row {
        const char *name;
        uint64_t audio_wait;
        const char *script;
        const char *files;  /* items per file, " | " between files */
        uint32_t lost;
    } rows[] = {
        {"loss before the first frame taken", 0, "-5 I0 P40 P80", "v0 v40 v80", 0},
        {"no loss", 0, "I0 P40 P80 I120", "v0 v40 v80 v120", 0},
        {"mid-segment: same file, audio waits for the I frame", 0,
         "I0 a0 P40 -2 a128 P160 P200 I240 P280", "v0 v40 a0 v240 a128 v280", 2},
        {"lost I frame: the next one resyncs and closes", 0, "I0 P40 -3 P200 P2060 I2100 P2140",
         "v0 v40 | v2100 v2140", 3},
        {"loss while closing: only frames before it go on", 416,
         "I0 P40 I2100 P2140 -1 P2220 P2520 P2560 I4100", "v0 v40 | v2100 v2140 v4100", 1},
        {"loss after loss", 0, "I0 -1 P80 -1 P160 I200 -4 P400 I440", "v0 v200 v440", 6},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Harness h(2, 0, r.audio_wait);
        std::istringstream script(r.script);
        std::string tok;
        while (script >> tok) {
            const uint64_t n = std::stoull(tok.substr(1));
            switch (tok[0]) {
            case 'I': h.I(n); break;
            case 'P': h.P(n); break;
            case 'a': h.audio(n); break;
            case '-': h.order += (uint32_t)n; break;
            default: FAIL() << tok;
            }
        }
        std::string files;
        for (size_t i = 0; i < h.files.size(); i++)
            files += (i ? " | " : "") + h.file_items(i);
        EXPECT_EQ(files, r.files);
        EXPECT_EQ(h.st_.lost, r.lost);
    }
}

TEST(RecorderSegment, OrderlyStopWaitsForTheLastFramesAudio)
{
    Harness h(60, 0, 416);
    h.I(1000);
    h.P(1040);
    h.audio(1000);
    h.P(1080);
    EXPECT_EQ(rec_seg_stop(&h.st_), 1);
    EXPECT_EQ(h.P(1120), REC_STEP_DROPPED);  /* after the stop: not recorded */
    h.audio(1064);
    EXPECT_EQ(h.P(1160), REC_STEP_DROPPED);  /* nothing at or past 1120 yet */
    EXPECT_FALSE(h.files[0].closed);
    h.audio(1128);
    EXPECT_EQ(h.P(1200), REC_STEP_CLOSED);
    EXPECT_EQ(h.file_items(0), "v1000 v1040 v1080 a1000 a1064");
    EXPECT_EQ(h.files[0].ms, 120u) << "to the end of the last frame";
    EXPECT_EQ(h.I(3000), REC_STEP_DROPPED);  /* no new file after a stop */
    EXPECT_EQ(h.files.size(), 1u);
    EXPECT_EQ(h.finish(), 0);

    Harness idle;
    EXPECT_EQ(rec_seg_stop(&idle.st_), 0);
}

TEST(RecorderQueue, TakeVideoCopiesFirstUnflaggedEntryIntoReusedBuffer)
{
    list_head head;
    INIT_LIST_HEAD(&head);
    unsigned char a[100], b[50];
    memset(a, 0xaa, sizeof a);
    memset(b, 0xbb, sizeof b);
    venc_stream_entry e1{}, e2{};
    e1.stream = {a, sizeof a, 40, 1, FRAME_TYPE_I};
    e1.date = strm_date{2023, 2, 10, 16, 35, 8, 0};
    e2.stream = {b, sizeof b, 80, 2, FRAME_TYPE_P};
    list_add_tail(&e1.list, &head);
    list_add_tail(&e2.list, &head);

    rec_buf buf{};
    venc_stream_entry out{};
    ASSERT_EQ(rec_take_video(&head, &out, &buf), 1);
    EXPECT_EQ(e1.flag, 1);
    EXPECT_EQ(e2.flag, 0);
    EXPECT_EQ(out.stream.ts, 40u);
    EXPECT_EQ(out.date.sec, 8);
    ASSERT_EQ(out.stream.data, buf.data);
    memset(a, 0, sizeof a);  /* the encoder reuses its buffer */
    EXPECT_EQ(out.stream.data[99], 0xaa);
    unsigned char *first = buf.data;

    ASSERT_EQ(rec_take_video(&head, &out, &buf), 1);
    EXPECT_EQ(out.stream.ts, 80u);
    EXPECT_EQ(out.stream.len, 50u);
    EXPECT_EQ(buf.data, first) << "a smaller frame must not reallocate";
    EXPECT_EQ(out.stream.data[0], 0xbb);

    EXPECT_EQ(rec_take_video(&head, &out, &buf), 0);

    /* A larger frame grows the buffer once. */
    std::vector<unsigned char> big(300000, 0x11);
    venc_stream_entry e3{};
    e3.stream = {big.data(), (uint32_t)big.size(), 120, 3, FRAME_TYPE_P};
    list_add_tail(&e3.list, &head);
    ASSERT_EQ(rec_take_video(&head, &out, &buf), 1);
    EXPECT_GE(buf.cap, big.size());
    EXPECT_EQ(out.stream.data[big.size() - 1], 0x11);
    rec_buf_free(&buf);
    EXPECT_EQ(buf.data, nullptr);
}

TEST(RecorderQueue, AudioWalkModes)
{
    struct Row {
        rec_audio_mode mode;
        uint64_t limit;
        int taken;
        int written;
        int later;  /* the walk stopped at an entry at or past the limit */
    } rows[] = {
        {REC_AUDIO_ALL, 0, 3, 3, 0},
        {REC_AUDIO_BEFORE, 64, 1, 1, 1},  /* ts < limit */
        {REC_AUDIO_BEFORE, 65, 2, 2, 1},
        {REC_AUDIO_BEFORE, 97, 3, 3, 0},
        {REC_AUDIO_BEFORE, 32, 0, 0, 1},
        {REC_AUDIO_DROP_BEFORE, 64, 1, 0, 1},  /* ts < limit, never written */
        {REC_AUDIO_DROP_BEFORE, 65, 2, 0, 1},
        {REC_AUDIO_DROP_BEFORE, 32, 0, 0, 1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE("mode " + std::to_string(r.mode) + " limit " + std::to_string(r.limit));
        list_head head;
        INIT_LIST_HEAD(&head);
        aenc_stream_entry e[4]{};
        const uint64_t ts[4] = {0, 32, 64, 96};
        e[0].flag = 1;  /* already taken: skipped */
        for (int i = 0; i < 4; i++) {
            e[i].stream.ts = ts[i];
            list_add_tail(&e[i].list, &head);
        }
        int written = 0;
        auto add = [](void *ctx, struct audio_stream *) {
            ++*static_cast<int *>(ctx);
            return -1;  /* a failed audio write does not stop the walk */
        };
        int later = -1;
        EXPECT_EQ(rec_audio_walk(&head, r.mode, r.limit, add, &written, &later), r.taken);
        EXPECT_EQ(later, r.later);
        EXPECT_EQ(written, r.written);
        int flagged = 0;
        for (int i = 1; i < 4; i++)
            flagged += e[i].flag;
        EXPECT_EQ(flagged, r.taken);
    }
}

} // namespace
