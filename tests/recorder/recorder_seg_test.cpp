/*
 * Segment state machine and queue walks of the recorder, driven with
 * synthetic frames and a recording fake sink: no threads, clocks or muxer.
 */
#include <gtest/gtest.h>

#include <deque>
#include <memory>
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
    explicit Harness(int time_sec = 60, int track = 0) : track_(track)
    {
        params_.time_sec = time_sec;
        params_.write_video = track != 2;
        INIT_LIST_HEAD(&audio_head_);
        sink_ = {this, &Harness::start, &Harness::add_video, &Harness::drain, &Harness::close};
    }

    rec_step_result frame(uint64_t ts, frame_type type, int hour = 12)
    {
        venc_stream_entry e{};
        e.stream.ts = ts;
        e.stream.frame_type = type;
        e.stream.len = 10;
        if (type == FRAME_TYPE_I)
            e.date = strm_date{2023, 2, 10, hour, 0, (int)(ts / 1000 % 60), 0};
        return rec_seg_step(&st_, &params_, &e, &sink_);
    }
    int finish() { return rec_seg_finish(&st_, &sink_); }
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
    static void drain(void *ctx, rec_audio_mode mode, uint64_t limit)
    {
        auto *h = static_cast<Harness *>(ctx);
        rec_audio_walk(&h->audio_head_, mode, limit, h->track_ == 1 ? nullptr : add_audio, h);
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
            EXPECT_EQ(h.st_.mux_init, 0);
        }
    }
}

TEST(RecorderSegment, ClosingIFrameIsInNeitherFileAndNextOpensAtNextIFrame)
{
    Harness h(2);
    h.I(0);
    h.P(1000);
    EXPECT_EQ(h.I(2100), REC_STEP_CLOSED);
    EXPECT_EQ(h.P(2140), REC_STEP_DROPPED);
    EXPECT_EQ(h.I(4100), REC_STEP_WRITTEN);
    h.P(4140);
    ASSERT_EQ(h.files.size(), 2u);
    EXPECT_EQ(h.file_items(0), "v0 v1000");
    EXPECT_EQ(h.file_items(1), "v4100 v4140");
    EXPECT_EQ(h.st_.ts_start_ms, 4100u);
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
    /* The failing frame ends the cycle: no audio after it. */
    EXPECT_EQ(h.file_items(0), "v1000 a1010 v1080 v1160 v1200");
    EXPECT_EQ(h.audio_unflagged(), 1);

    /* Count starts again in the next segment: two failures do not close. */
    h.video_results = {-1, -1, 0};
    EXPECT_EQ(h.P(1280), REC_STEP_DROPPED);
    EXPECT_EQ(h.I(3000), REC_STEP_WRITTEN);  /* failure 1 */
    EXPECT_EQ(h.P(3040), REC_STEP_WRITTEN);  /* failure 2 */
    EXPECT_EQ(h.P(3080), REC_STEP_WRITTEN);
    EXPECT_FALSE(h.files[1].closed);
    EXPECT_EQ(h.file_items(1), "a1210 v3080");
}

TEST(RecorderSegment, AudioAfterClosingFrameGoesIntoNextSegmentAfterItsFirstVideo)
{
    Harness h(2);
    h.I(1000);
    h.audio(1000);
    h.audio(1032);
    h.P(1040);
    h.audio(3100);  /* not later than the closing frame */
    h.audio(3101);  /* later */
    h.audio(3132);
    EXPECT_EQ(h.I(3100), REC_STEP_CLOSED);
    EXPECT_EQ(h.file_items(0), "v1000 v1040 a1000 a1032 a3100");
    EXPECT_EQ(h.audio_unflagged(), 2);
    h.P(3140);  /* dropped, audio untouched */
    EXPECT_EQ(h.audio_unflagged(), 2);
    h.audio(4000);
    h.I(5100);
    EXPECT_EQ(h.file_items(1), "v5100 a3101 a3132 a4000");
    EXPECT_EQ(h.audio_unflagged(), 0);
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
    EXPECT_EQ(h.file_items(0), "a0 a60");
    EXPECT_EQ(h.files[0].ms, 2190u);
    EXPECT_EQ(h.video_results.size(), 4u);
}

TEST(RecorderSegment, FailedStartIsRetriedAtNextIFrameWithNewStart)
{
    Harness h(2);
    h.start_results = {-1};
    h.audio(900);
    EXPECT_EQ(h.I(1000), REC_STEP_START_FAILED);
    EXPECT_EQ(h.P(1040), REC_STEP_DROPPED);
    EXPECT_EQ(h.audio_unflagged(), 1);  /* kept for the next segment */
    EXPECT_EQ(h.I(3000), REC_STEP_WRITTEN);
    EXPECT_EQ(h.st_.ts_start_ms, 3000u);
    EXPECT_EQ(h.file_items(0), "v3000 a900");
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
        expected += t >= 5000;
    }
    for (uint64_t t = 1000; t <= 16000; t += 2000)
        EXPECT_EQ(h.I(t), REC_STEP_START_FAILED);
    /* The last failed start was at 15000: audio before 5000 is gone. */
    EXPECT_EQ(h.audio_unflagged(), expected);
    EXPECT_TRUE(h.files.empty());
}

TEST(RecorderSegment, StoppingClosesTheOpenSegmentAtItsNewestFrame)
{
    Harness h;
    EXPECT_EQ(h.finish(), 0);  /* nothing open */
    h.P(0);
    h.I(1000);
    h.P(1040);
    h.P(1080);
    EXPECT_EQ(h.finish(), 1);
    ASSERT_EQ(h.files.size(), 1u);
    EXPECT_TRUE(h.files[0].closed);
    EXPECT_EQ(h.files[0].ms, 80u);
    EXPECT_EQ(h.finish(), 0);
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
    } rows[] = {
        {REC_AUDIO_ALL, 0, 3, 3},
        {REC_AUDIO_UNTIL, 64, 2, 2},  /* ts <= limit */
        {REC_AUDIO_UNTIL, 31, 0, 0},
        {REC_AUDIO_DROP_BEFORE, 64, 1, 0},  /* ts < limit, never written */
        {REC_AUDIO_DROP_BEFORE, 65, 2, 0},
        {REC_AUDIO_DROP_BEFORE, 32, 0, 0},
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
        EXPECT_EQ(rec_audio_walk(&head, r.mode, r.limit, add, &written), r.taken);
        EXPECT_EQ(written, r.written);
        int flagged = 0;
        for (int i = 1; i < 4; i++)
            flagged += e[i].flag;
        EXPECT_EQ(flagged, r.taken);
    }
}

} // namespace
