/*
 * test_venc.cpp - the video encoding channels: reference counting, the
 * one-entry queue, I-frame dates, the getter, the twelfth encode failure,
 * the legacy pull interface, and many threads starting and releasing at
 * once (run it under ThreadSanitizer).
 *
 * Most cases use the sub channel (640 x 360), which is cheap to encode.
 */
#include "daemon_test_util.h"

#include <algorithm>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tvr_avsrc_priv.h"

using namespace tvrtest;

namespace {

struct Buffer {
    unsigned char *p = static_cast<unsigned char *>(std::malloc(DOVU_STREAM_BUF_SIZE));
    ~Buffer() { std::free(p); }
};

/* True when the Annex B access unit holds a NAL unit of `type`. */
bool has_nal(const unsigned char *p, unsigned int n, int type)
{
    for (unsigned int i = 0; i + 3 < n; i++) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if ((p[i + 3] & 0x1f) == type)
                return true;
            i += 2;
        }
    }
    return false;
}

/* Copies of the entries seen in a channel's queue, taken as a consumer
 * does: under the read lock.  Records the largest queue length seen. */
struct QueueWatch {
    std::vector<venc_stream_entry> seen;
    int max_len = 0;

    void poll(int chnid)
    {
        video_chn_param *c = video_chn(chnid);
        pthread_rwlock_rdlock(&c->rwlock_venc_data_list);
        int n = 0;
        struct list_head *pos;
        list_for_each(pos, &c->list_head_venc_data_list) {
            n++;
            const venc_stream_entry *e = list_entry(pos, venc_stream_entry, list);
            if (seen.empty() || seen.back().stream.ts != e->stream.ts)
                seen.push_back(*e);
        }
        pthread_rwlock_unlock(&c->rwlock_venc_data_list);
        max_len = std::max(max_len, n);
    }
};

} // namespace

using VideoChannelTest = AvSourceTest;

TEST_F(VideoChannelTest, SecondStartSharesTheEncoderAndReleasesCount)
{
    int opens = ozi_host_call_count("ozi_venc_open");
    void *h1 = start_video("sub");
    ASSERT_NE(h1, nullptr);
    EXPECT_EQ(h1, &tvr_avsrc->sub_video_param.venc_handle);
    EXPECT_NE(video_handle(1), -1);
    void *h2 = start_video("sub_ch");
    EXPECT_EQ(h2, h1);
    void *h3 = start_video("sub");
    EXPECT_EQ(h3, h1);
    EXPECT_EQ(ozi_host_call_count("ozi_venc_open"), opens + 1) << "a running channel reopened";
    EXPECT_EQ(video_refs(1), 3);

    tvr_mirel_venc_release(h1);
    tvr_mirel_venc_release(h1);
    EXPECT_EQ(video_refs(1), 1);
    EXPECT_NE(video_handle(1), -1) << "closed before the last release";

    LogCapture log;
    int value = video_handle(1);
    tvr_mirel_venc_release(h1);
    std::string out = log.take();
    EXPECT_EQ(video_handle(1), -1);
    EXPECT_EQ(video_refs(1), 0);
    EXPECT_NE(out.find("] vencode close:" + std::to_string(value) + "\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("thread_venc_sub exit\n"), std::string::npos) << out;
    EXPECT_EQ(video_queue_len(1), 0) << "entries left queued after the close";

    /* Releases beyond the starts, and foreign pointers, change nothing. */
    tvr_mirel_venc_release(h1);
    int other = 0;
    tvr_mirel_venc_release(&other);
    tvr_mirel_venc_release(nullptr);
    EXPECT_EQ(video_refs(1), 0);

    /* A closed channel starts again with a fresh encoder. */
    void *h4 = start_video("sub");
    ASSERT_EQ(h4, h1);
    EXPECT_EQ(ozi_host_call_count("ozi_venc_open"), opens + 2);
    tvr_mirel_venc_release(h4);
}

TEST_F(VideoChannelTest, MainChannelLogsItsCountAndParameters)
{
    LogCapture log;
    void *h = start_video("main");
    ASSERT_NE(h, nullptr);
    void *h2 = start_video("main_ch");
    ASSERT_EQ(h2, h);
    int value = video_handle(0);
    tvr_mirel_venc_release(h);
    tvr_mirel_venc_release(h);
    std::string out = log.take();
    const std::string stars = "*****************************************\n";
    EXPECT_NE(out.find(stars + "** venc version: "), std::string::npos) << out;
    EXPECT_NE(out.find("fps:25, target_kbps:2048, br_mode:0, initqp:38, encoder_type:0\n"),
              std::string::npos) << out;
    std::string h_str = std::to_string(value);
    EXPECT_NE(out.find("] avsrc.main_video_param.ref_count :1, handle:" + h_str + "\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("] avsrc.main_video_param.ref_count :2, handle:" + h_str + "\n"),
              std::string::npos) << out;
    /* Release logs the count before its decrement: 2, then 1. */
    size_t first = out.find("] avsrc.main_video_param.ref_count :2\n");
    size_t second = out.find("] avsrc.main_video_param.ref_count :1\n");
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_NE(second, std::string::npos) << out;
    EXPECT_LT(first, second);
    EXPECT_EQ(out.find("vencode close"), std::string::npos) << "main logs no close line";
    EXPECT_EQ(video_handle(0), -1);
}

TEST_F(VideoChannelTest, GetBeforeTheFirstFrameLeavesSizeZero)
{
    /* No picture for the first few captures: the queue stays empty. */
    ASSERT_EQ(ozi_host_fail("ozi_vi_get_frame", 0, 8), 0);
    void *h = start_video("sub");
    ASSERT_NE(h, nullptr);
    Buffer buf;
    unsigned int size = 12345;
    unsigned long long ts = 777;
    tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(ts, 777u);

    /* Null arguments write nothing. */
    size = 12345;
    tvr_mirel_get_vstrm_data(h, nullptr, &size, &ts);
    tvr_mirel_get_vstrm_data(nullptr, buf.p, &size, &ts);
    int other = 0;
    tvr_mirel_get_vstrm_data(&other, buf.p, &size, &ts);
    EXPECT_EQ(size, 12345u);
    tvr_mirel_get_vstrm_data(h, buf.p, &size, nullptr);
    EXPECT_EQ(size, 12345u);

    /* Frames come once capture delivers; repeated calls give the newest
     * frame, with time stamps that never go back.  A fresh encoder starts
     * with an IDR, but a poller slowed down by a loaded machine may see the
     * next frame first; either way an IDR, with its SPS, comes within the
     * first GOP (sub: 2 s). */
    ASSERT_TRUE(wait_until([&] {
        tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
        return size > 0;
    }, 3000));
    ASSERT_TRUE(wait_until([&] {
        tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
        return size > 0 && has_nal(buf.p, size, 5);
    }, 2500)) << "no IDR in the first GOP";
    EXPECT_TRUE(has_nal(buf.p, size, 7)) << "IDR without SPS";
    unsigned long long last = ts;
    for (int i = 0; i < 10; i++) {
        /* The next frame the encoder makes. */
        EXPECT_TRUE(wait_until([&] {
            tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
            return size > 0 && ts != last;
        }, 2000)) << "no frame after " << last;
        EXPECT_GE(ts, last);
        last = ts;
    }
    tvr_mirel_venc_release(h);
    size = 1;
    tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
    EXPECT_EQ(size, 0u) << "a closed channel still hands out a frame";
}

TEST_F(VideoChannelTest, QueueHoldsOneEntryWithDatesOnIFramesOnly)
{
    ManualClock clock(1);
    void *h = start_video("sub");
    ASSERT_NE(h, nullptr);
    QueueWatch w;
    Buffer buf;
    /* The sub channel's GOP is 40 frames at 20 fps: watch the first I
     * frame, the P frames after it and the next I frame.  Time moves in
     * 10 ms steps, so the watch sees every frame; it polls the getter too,
     * as a viewer does, which lets the frame after the first I frame go. */
    auto i_frames_seen = [&w, &buf, h] {
        unsigned int size = 0;
        unsigned long long ts = 0;
        tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
        w.poll(1);
        return std::count_if(w.seen.begin(), w.seen.end(), [](const venc_stream_entry &e) {
            return e.stream.frame_type == FRAME_TYPE_I;
        }) >= 2;
    };
    EXPECT_TRUE(clock.run_until(i_frames_seen, 2100));
    clock.stop();
    tvr_mirel_venc_release(h);

    EXPECT_EQ(w.max_len, 1);
    ASSERT_EQ(w.seen.size(), 41u) << "an I frame, 39 P frames, the next I frame";
    int i_frames = 0;
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    for (const venc_stream_entry &e : w.seen) {
        const strm_date &d = e.date;
        if (e.stream.frame_type == FRAME_TYPE_I) {
            i_frames++;
            EXPECT_EQ(d.year, tm.tm_year + 1900);
            EXPECT_GE(d.mon, 1);
            EXPECT_LE(d.mon, 12);
            EXPECT_GE(d.day, 1);
            EXPECT_LE(d.day, 31);
        } else {
            EXPECT_EQ(d.year | d.mon | d.day | d.hour | d.min | d.sec | d.tz, 0)
                << "P frame with a date";
        }
        EXPECT_EQ(e.flag, 0);
    }
    EXPECT_GE(i_frames, 2);
    /* ts and seq_no are the captured picture's: 50 ms apart at 20 fps. */
    for (size_t i = 1; i < w.seen.size(); i++) {
        EXPECT_EQ(w.seen[i].stream.ts, w.seen[i - 1].stream.ts + 50);
        EXPECT_EQ(w.seen[i].stream.seq_no, w.seen[i - 1].stream.seq_no + 1);
    }
}

/* A fresh encoder's first I frame comes after a slow first encode, when the
 * next picture is already due.  The frame after an I frame must neither push
 * it out of the newest-frame queue before a viewer has had it nor be lost:
 * it is queued once a viewer's getter has copied the I frame, or at the
 * latest when the next picture is captured.  On the manual clock the worker
 * encodes that frame before anyone polls, as on a loaded machine.  A keeper
 * (as the recorder) checks that every picture comes, in order.  Each case
 * meets the encoder's first I frame, then one asked for. */
TEST_F(VideoChannelTest, FrameAfterAnIFrameWaitsForAViewerToTakeIt)
{
    enum class Then { viewer_polls, nobody_polls, channel_released };
    for (Then then : {Then::viewer_polls, Then::nobody_polls, Then::channel_released}) {
        SCOPED_TRACE(static_cast<int>(then));
        ManualClock clock(1);
        const int encodes = ozi_host_call_count("ozi_venc_encode_frame");
        auto encoded = [encodes] { return ozi_host_call_count("ozi_venc_encode_frame") - encodes; };
        void *h = start_video("sub");
        ASSERT_NE(h, nullptr);
        tvr_mirel_venc_keep_frames(h, 1);
        /* The queue's entries, oldest first (all of them: frames are kept). */
        auto queue = [] {
            QueueWatch q;
            q.poll(1);
            return q.seen;
        };
        uint32_t next_order = 0;
        for (int key = 0; key < 2; key++) {
            SCOPED_TRACE(key == 0 ? "first I frame" : "requested I frame");
            if (key == 1) {
                ASSERT_EQ(ozi_venc_request_idr(video_handle(1)), 0);
            }
            venc_stream_entry newest = {};
            ASSERT_TRUE(clock.run_until([&] {
                std::vector<venc_stream_entry> q = queue();
                if (!q.empty())
                    newest = q.back();
                return !q.empty() && newest.order >= next_order &&
                       newest.stream.frame_type == FRAME_TYPE_I;
            }, 500));
            const unsigned long long key_ts = newest.stream.ts;
            const uint32_t key_order = newest.order;
            const int queued = video_queue_len(1);
            const int before = encoded();

            ASSERT_TRUE(clock.run_until([&] { return encoded() > before; }, 500));
            EXPECT_EQ(video_queue_len(1), queued) << "queued before a viewer had the I frame";
            Buffer buf;
            unsigned int size = 0;
            unsigned long long ts = 0;
            if (then == Then::channel_released) {
                /* The frame waiting to be queued goes back to the encoder. */
                tvr_mirel_venc_keep_frames(h, 0);
                clock.stop();
                tvr_mirel_venc_release(h);
                EXPECT_EQ(video_refs(1), 0);
                EXPECT_EQ(video_queue_len(1), 0);
                break;
            }
            if (then == Then::viewer_polls) {
                tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
                EXPECT_EQ(ts, key_ts);
                EXPECT_TRUE(has_nal(buf.p, size, 5)) << "the viewer's frame is no IDR";
                /* Taken: the next frame follows at once, before the next picture. */
                ASSERT_TRUE(clock.run(10));
                EXPECT_EQ(encoded(), before + 1);
                tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
                EXPECT_EQ(ts, key_ts + 50);
            }
            ASSERT_TRUE(clock.run_until([&] { return video_queue_len(1) >= queued + 2; }, 500));
            std::vector<venc_stream_entry> q = queue();
            const size_t k = q.size() - 3;
            for (uint32_t i = 0; i < 3; i++) {
                EXPECT_EQ(q[k + i].stream.ts, key_ts + 50 * i) << "a picture skipped";
                EXPECT_EQ(q[k + i].order, key_order + i);
            }
            next_order = key_order + 3;
        }
        if (then == Then::channel_released)
            continue;
        tvr_mirel_venc_keep_frames(h, 0);
        clock.stop();
        tvr_mirel_venc_release(h);
    }
}

/* The trim after each queued frame, on a list of heap entries numbered by
 * `order`; the last one is the frame just queued. */
TEST(VideoQueueTrim, KeepsTheNewestAndUntakenFramesWithinTheBound)
{
    struct Row {
        const char *name;
        const char *flags;  /* one char per entry, oldest first: '1' taken */
        int keep;
        const char *left;   /* orders left, oldest first */
        int lost;
    } rows[] = {
        {"nobody keeps: newest only", "0101", 1, "3", 0},
        {"single entry", "0", 1, "0", 0},
        {"taken ones leave", "1100", 12, "23", 0},
        {"newest stays though taken", "011", 12, "02", 0},
        {"all untaken within the bound", "0000", 4, "0123", 0},
        {"bound exceeded: oldest go", "00000", 3, "234", 2},
        {"taken ones leave before untaken", "10100", 3, "134", 0},
        {"taken newest counts to the bound", "0001", 2, "23", 2},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        struct list_head head;
        INIT_LIST_HEAD(&head);
        const int n = static_cast<int>(std::strlen(r.flags));
        for (int i = 0; i < n; i++) {
            auto *e = static_cast<venc_stream_entry *>(std::calloc(1, sizeof(venc_stream_entry)));
            e->order = static_cast<uint32_t>(i);
            e->flag = r.flags[i] == '1';
            list_add_tail(&e->list, &head);
        }
        int released = 0;
        auto release = [](venc_stream_entry *, void *ctx) { ++*static_cast<int *>(ctx); };
        EXPECT_EQ(tvr__venc_queue_trim(&head, r.keep, release, &released), r.lost);
        std::string left;
        struct list_head *pos, *nx;
        list_for_each_safe(pos, nx, &head) {
            venc_stream_entry *e = list_entry(pos, venc_stream_entry, list);
            left += static_cast<char>('0' + e->order);
            list_del(pos);
            std::free(e);
        }
        EXPECT_EQ(left, r.left);
        EXPECT_EQ(released + static_cast<int>(left.size()), n) << "an entry left unreleased";
    }
}

/* While a user keeps frames, untaken frames pile up to the bound and the
 * encoder keeps encoding (the bound stays under what it lends); viewers
 * still get the newest frame.  Once nobody keeps, one entry again. */
TEST_F(VideoChannelTest, KeptFramesStayQueuedWithinTheEncodersLending)
{
    void *h = start_video("sub");
    ASSERT_NE(h, nullptr);
    tvr_mirel_venc_keep_frames(h, 1);
    ASSERT_TRUE(wait_until([] { return video_queue_len(1) == kVideoKeepMaxEntries; }, 5000));
    const int handle = video_handle(1);
    QueueWatch w;
    w.poll(1);
    const uint32_t first = w.seen.back().order;
    /* Twenty more frames after the queue is full: with no stream to lend,
     * the encoder would fail them all and be closed at the twelfth. */
    const int encodes = ozi_host_call_count("ozi_venc_encode_frame");
    ASSERT_TRUE(wait_until([&] {
        return ozi_host_call_count("ozi_venc_encode_frame") >= encodes + 20;
    }, 5000));
    Buffer buf;
    unsigned int size = 0;
    unsigned long long ts = 0;
    tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
    w.poll(1);
    EXPECT_EQ(w.max_len, kVideoKeepMaxEntries);
    EXPECT_EQ(video_handle(1), handle) << "encoder closed while frames were kept";
    EXPECT_GT(size, 0u);
    EXPECT_GE(ts, w.seen.back().stream.ts - 50) << "the getter did not give the newest frame";
    EXPECT_GE(w.seen.back().order, first + 18) << "frames stopped";  /* one may be in flight */

    tvr_mirel_venc_keep_frames(h, 0);
    EXPECT_TRUE(wait_until([] { return video_queue_len(1) == 1; }, 3000));
    tvr_mirel_venc_release(h);
}

struct FailureCase {
    const char *name;
    int first, second;  /* failures in a row, one success, then failures in a row */
    bool reopens;
};

class EncodeFailureTest : public AvSourceTest,
                          public testing::WithParamInterface<FailureCase> {};

/* Encode failures in a row close the encoder at the twelfth; while the
 * channel has users it is reopened after a back-off and frames flow again,
 * starting with an I frame.  A success in between starts the count anew.
 * The test keeps frames (as the recorder does), so it sees every frame the
 * reopened encoder queues however late it looks.  Each result is checked
 * once the log capture has ended, so that a failure's message is seen. */
TEST_P(EncodeFailureTest, TwelfthFailureInARowReopensTheEncoder)
{
    const FailureCase c = GetParam();
    void *h = start_video("sub");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(wait_until([] { return video_queue_len(1) == 1; }, 3000));
    const int opens = ozi_host_call_count("ozi_venc_open");
    tvr_mirel_venc_keep_frames(h, 1);

    LogCapture log;
    bool failed_as_asked = true;
    auto fail_run = [&failed_as_asked](int n) {
        const int before = ozi_host_call_count("ozi_venc_encode_frame");
        failed_as_asked = failed_as_asked && ozi_host_fail("ozi_venc_encode_frame", 0, n) == 0;
        /* One call per captured picture (50 ms), then one that succeeds. */
        failed_as_asked = failed_as_asked && wait_until([&] {
            return ozi_host_call_count("ozi_venc_encode_frame") - before > n ||
                   video_handle(1) == -1;
        }, 4000);
    };
    fail_run(c.first);
    if (c.second)
        fail_run(c.second);

    QueueWatch q;
    bool flowed;
    if (c.reopens) {
        /* The close drained the queue, so once the reopen is logged every
         * entry comes from the new encoder. */
        const bool reopened = wait_until([&] {
            return log.text().find("thread_venc_sub encoder reopened\n") != std::string::npos;
        }, 4000);
        flowed = reopened && wait_until([&] {
            q.poll(1);
            return !q.seen.empty();
        }, 3000);
    } else {
        q.poll(1);
        const unsigned long long newest = q.seen.empty() ? 0 : q.seen.back().stream.ts;
        flowed = wait_until([&] {
            q.poll(1);
            return !q.seen.empty() && q.seen.back().stream.ts > newest;
        }, 2000);
    }
    const std::string out = log.take();
    ASSERT_TRUE(failed_as_asked);
    ASSERT_TRUE(flowed) << "no frame after the failures\n" << out;
    if (c.reopens) {
        EXPECT_EQ(q.seen.front().stream.frame_type, FRAME_TYPE_I)
            << "first frame after the reopen is not an I frame";
        EXPECT_EQ(ozi_host_call_count("ozi_venc_open"), opens + 1);
        EXPECT_NE(out.find("] ozi_venc_encode_frame failed 12 times, encoder closed\n"),
                  std::string::npos) << out;
    } else {
        EXPECT_EQ(ozi_host_call_count("ozi_venc_open"), opens) << "encoder reopened";
        EXPECT_EQ(out.find("encoder closed"), std::string::npos) << out;
    }
    /* The channel's users still count: one release closes it. */
    tvr_mirel_venc_keep_frames(h, 0);
    EXPECT_EQ(video_refs(1), 1);
    tvr_mirel_venc_release(h);
    EXPECT_EQ(video_refs(1), 0);
    EXPECT_EQ(video_handle(1), -1);
}

INSTANTIATE_TEST_SUITE_P(Counts, EncodeFailureTest,
                         testing::Values(FailureCase{"eleven", 11, 0, false},
                                         FailureCase{"twelve", 12, 0, true},
                                         FailureCase{"eleven_twice", 11, 11, false}),
                         [](const testing::TestParamInfo<FailureCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(VideoChannelTest, LegacyPullGivesAnIFrameOnRequest)
{
    ASSERT_EQ(venc_start(1), 0);
    ASSERT_EQ(video_refs(1), 1);
    /* Once the worker has published the encoder's first picture (an IDR),
     * the next frames are P. */
    ASSERT_TRUE(wait_until([] { return video_queue_len(1) == 1; }, 3000));

    Buffer buf;
    unsigned int size = 0;
    struct timeval tv = {0, 0};
    ASSERT_EQ(get_video_data(buf.p, &size, 1, &tv, 1), 0);
    ASSERT_GT(size, 0u);
    EXPECT_TRUE(has_nal(buf.p, size, 5)) << "not an I frame";
    EXPECT_GT(tv.tv_sec, 0);
    EXPECT_LT(tv.tv_usec, 1000000);

    /* Without the I-frame wish, any frame will do. */
    size = 0;
    EXPECT_EQ(get_video_data(buf.p, &size, 0, nullptr, 1), 0);
    EXPECT_GT(size, 0u);

    /* No such channel: an error and size 0. */
    size = 99;
    EXPECT_NE(get_video_data(buf.p, &size, 0, nullptr, 7), 0);
    EXPECT_EQ(size, 0u);

    ASSERT_EQ(venc_end(1), 0);
    EXPECT_EQ(video_refs(1), 0);
    EXPECT_EQ(video_handle(1), -1);
}

TEST_F(VideoChannelTest, InvalidWorkerParameterEndsTheProcessWithFailure)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int bad = 5;
    /* A supervisor must see the failure: status 1, not 0. */
    EXPECT_EXIT(thread_venc(&bad), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(thread_venc(nullptr), testing::ExitedWithCode(1), "");
}

/*
 * Many threads start, use and release both video channels and the audio
 * channel at once.  Afterwards every channel must be closed with its
 * resources given back, and start again normally.  Under ThreadSanitizer
 * this also shows that lifecycle, queue and getter are free of races.
 */
TEST_F(VideoChannelTest, ConcurrentStartsAndReleasesStayConsistent)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t, &failures] {
            std::mt19937 rng(1234 + t);
            Buffer buf;
            const char *names[] = {"sub", "sub_ch", "main_ch"};
            for (int r = 0; r < kRounds; r++) {
                const char *name = names[(t + r) % (r % 7 == 0 ? 3 : 2)];
                void *v = start_video(name);
                void *a = start_audio("sub");
                if (!v || !a)
                    failures++;
                unsigned int size = 0;
                unsigned long long ts = 0;
                int polls = static_cast<int>(rng() % 4);
                for (int i = 0; i < polls; i++) {
                    tvr_mirel_get_vstrm_data(v, buf.p, &size, &ts);
                    tvr_mirel_get_astrm_data(a, buf.p, &size, &ts);
                    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 15));
                }
                tvr_mirel_aenc_release(a);
                tvr_mirel_venc_release(v);
                if (rng() % 3 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 10));
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    for (int chn : {0, 1}) {
        EXPECT_EQ(video_refs(chn), 0) << chn;
        EXPECT_EQ(video_handle(chn), -1) << chn;
        EXPECT_EQ(video_queue_len(chn), 0) << chn;
    }
    EXPECT_EQ(audio_refs(), 0);
    EXPECT_EQ(audio_handle(), -1);
    EXPECT_EQ(audio_queue_len(), 0);

    void *h = start_video("sub");
    ASSERT_NE(h, nullptr);
    Buffer buf;
    unsigned int size = 0;
    unsigned long long ts = 0;
    EXPECT_TRUE(wait_until([&] {
        tvr_mirel_get_vstrm_data(h, buf.p, &size, &ts);
        return size > 0;
    }, 3000));
    tvr_mirel_venc_release(h);
}
