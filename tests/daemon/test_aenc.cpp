/*
 * test_aenc.cpp - the audio encoding channel: reference counting and
 * capture, the getter, removal of entries the recorder marked, and the
 * bound of a queue that nobody marks.
 */
#include "daemon_test_util.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "tvr_avsrc_priv.h"

using namespace tvrtest;

namespace {

/* Marks every queued entry as the recorder does, under the read lock. */
int mark_all()
{
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    int n = 0;
    pthread_rwlock_rdlock(&a->rwlock_aenc_data_list);
    struct list_head *pos;
    list_for_each(pos, &a->list_head_aenc_data_list) {
        list_entry(pos, aenc_stream_entry, list)->flag = 1;
        n++;
    }
    pthread_rwlock_unlock(&a->rwlock_aenc_data_list);
    return n;
}

/* Time stamps of the queued entries, oldest first. */
std::vector<uint64_t> queued_ts()
{
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    std::vector<uint64_t> v;
    pthread_rwlock_rdlock(&a->rwlock_aenc_data_list);
    struct list_head *pos;
    list_for_each(pos, &a->list_head_aenc_data_list)
        v.push_back(list_entry(pos, aenc_stream_entry, list)->stream.ts);
    pthread_rwlock_unlock(&a->rwlock_aenc_data_list);
    return v;
}

} // namespace

class AudioChannelTest : public AvSourceTest {
protected:
    void TearDown() override
    {
        tvr__aenc_set_queue_cap(0);
        AvSourceTest::TearDown();
    }
};

TEST_F(AudioChannelTest, StartsCountAndCaptureStopsAtTheLastRelease)
{
    int opens = ozi_host_call_count("ozi_aenc_open");
    int captures = ozi_host_call_count("ozi_ai_start_capture");
    LogCapture log;
    void *h = start_audio("main");
    ASSERT_EQ(h, &tvr_avsrc->main_audio_param.aenc_handle);
    EXPECT_EQ(start_audio("sub_ch"), h) << "one audio channel for every name";
    EXPECT_EQ(start_audio("main_ch"), h);
    EXPECT_EQ(audio_refs(), 3);
    EXPECT_EQ(ozi_host_call_count("ozi_aenc_open"), opens + 1);
    EXPECT_EQ(ozi_host_call_count("ozi_ai_start_capture"), captures + 1);

    /* Frames arrive: an AAC frame (1024 samples, 128 ms) with its header. */
    std::vector<unsigned char> buf(DOVU_STREAM_BUF_SIZE);
    unsigned int size = 0;
    unsigned long long ts = 0;
    ASSERT_TRUE(wait_until([&] {
        tvr_mirel_get_astrm_data(h, buf.data(), &size, &ts);
        return size > 0;
    }, 3000));
    EXPECT_EQ(buf[0], 0xff);
    EXPECT_EQ(buf[1] & 0xf6, 0xf0) << "no ADTS header";

    tvr_mirel_aenc_release(h);
    tvr_mirel_aenc_release(h);
    EXPECT_EQ(audio_refs(), 1);
    EXPECT_NE(audio_handle(), -1);
    tvr_mirel_aenc_release(h);
    std::string out = log.take();
    EXPECT_EQ(audio_refs(), 0);
    EXPECT_EQ(audio_handle(), -1);
    EXPECT_EQ(audio_queue_len(), 0);
    EXPECT_NE(out.find("** aenc version: "), std::string::npos) << out;
    EXPECT_NE(out.find("thread_aenc exit\n"), std::string::npos) << out;

    tvr_mirel_aenc_release(h); /* one too many: nothing happens */
    int other = 0;
    tvr_mirel_aenc_release(&other);
    EXPECT_EQ(audio_refs(), 0);

    /* Capture runs again after a restart. */
    h = start_audio("main");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ozi_host_call_count("ozi_ai_start_capture"), captures + 2);
    tvr_mirel_aenc_release(h);
}

TEST_F(AudioChannelTest, GetterOnAnEmptyQueueLeavesSizeZeroAndTsUntouched)
{
    ASSERT_EQ(ozi_host_fail("ozi_ai_get_frame", 0, 20), 0);
    void *h = start_audio("main");
    ASSERT_NE(h, nullptr);
    std::vector<unsigned char> buf(DOVU_STREAM_BUF_SIZE);
    unsigned int size = 5;
    unsigned long long ts = 4242;
    tvr_mirel_get_astrm_data(h, buf.data(), &size, &ts);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(ts, 4242u);
    size = 5;
    tvr_mirel_get_astrm_data(h, nullptr, &size, &ts);
    tvr_mirel_get_astrm_data(nullptr, buf.data(), &size, &ts);
    EXPECT_EQ(size, 5u);
    tvr_mirel_aenc_release(h);
}

TEST_F(AudioChannelTest, MarkedEntriesLeaveAtTheNextFrame)
{
    void *h = start_audio("main");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(wait_until([] { return audio_queue_len() >= 3; }, 3000));
    std::vector<uint64_t> before = queued_ts();
    ASSERT_EQ(mark_all(), static_cast<int>(before.size()));
    /* The getter copies the oldest entry and marks nothing. */
    std::vector<unsigned char> buf(DOVU_STREAM_BUF_SIZE);
    unsigned int size = 0;
    unsigned long long ts = 0;
    tvr_mirel_get_astrm_data(h, buf.data(), &size, &ts);
    EXPECT_EQ(ts, before.front());

    ASSERT_TRUE(wait_until([&] {
        std::vector<uint64_t> now = queued_ts();
        return !now.empty() && now.front() > before.back();
    }, 2000));
    std::vector<uint64_t> after = queued_ts();
    for (uint64_t t : after)
        EXPECT_GT(t, before.back()) << "a marked entry stayed queued";
    tvr_mirel_aenc_release(h);
}

TEST_F(AudioChannelTest, GetterHandsAReaderSuccessiveFramesByTimeStamp)
{
    void *h = start_audio("main");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(wait_until([] { return audio_queue_len() >= 3; }, 3000));
    std::vector<uint64_t> q = queued_ts();
    std::vector<unsigned char> buf(DOVU_STREAM_BUF_SIZE);
    unsigned int size = 0;
    struct Case {
        unsigned long long in, out;
    } cases[] = {
        {0, q[0]}, {q[0], q[1]}, {q[1], q[2]}, {q[0] - 1, q[0]}, {TVR_ASTRM_NEWEST, 0},
    };
    for (const Case &c : cases) {
        unsigned long long ts = c.in;
        tvr_mirel_get_astrm_data(h, buf.data(), &size, &ts);
        ASSERT_GT(size, 0u) << c.in;
        if (c.out)
            EXPECT_EQ(ts, c.out) << c.in;
        else
            EXPECT_GE(ts, q.back()) << "not the newest";
    }
    /* Nothing newer than the newest: size 0, ts untouched. */
    unsigned long long ts = ~0ULL - 1;
    tvr_mirel_get_astrm_data(h, buf.data(), &size, &ts);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(ts, ~0ULL - 1);
    tvr_mirel_aenc_release(h);
}

TEST_F(AudioChannelTest, UnmarkedQueueStopsGrowingAtTheCap)
{
    constexpr int kCap = 5;
    tvr__aenc_set_queue_cap(kCap);
    ManualClock clock(1);
    void *h = start_audio("main");
    ASSERT_NE(h, nullptr);
    /* 128 ms per AAC frame: the cap is reached within a second. */
    ASSERT_TRUE(clock.run_until([] { return audio_queue_len() >= kCap; }, 1000));
    std::vector<uint64_t> first = queued_ts();
    ASSERT_TRUE(clock.run(700)); /* five or six frames more */
    std::vector<uint64_t> later = queued_ts();
    clock.stop();
    tvr_mirel_aenc_release(h);

    EXPECT_EQ(first.size(), static_cast<size_t>(kCap));
    EXPECT_EQ(later.size(), static_cast<size_t>(kCap)) << "queue grew past its cap";
    /* The oldest were dropped: the queue holds the newest frames, in order. */
    EXPECT_GT(later.front(), first.front());
    EXPECT_GT(later.back(), first.back());
    for (size_t i = 1; i < later.size(); i++)
        EXPECT_GT(later[i], later[i - 1]);
}

TEST_F(AudioChannelTest, MarkedEntriesLeaveWhileNoFrameCanBeFetched)
{
    void *h = start_audio("main");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(wait_until([] { return audio_queue_len() >= 3; }, 3000));
    /* The encoder hands out nothing for a long while; what the recorder
     * took must still go back to it. */
    ASSERT_EQ(ozi_host_fail("ozi_aenc_get_stream", 0, 100000), 0);
    const int calls = ozi_host_call_count("ozi_aenc_get_stream");
    mark_all();
    ASSERT_TRUE(wait_until([&] { return ozi_host_call_count("ozi_aenc_get_stream") > calls + 2; },
                           3000));
    EXPECT_EQ(audio_queue_len(), 0) << "marked entries wait for a successful fetch";
    ozi_host_clear_faults();
    tvr_mirel_aenc_release(h);
}

/* Nobody marks the queue (streaming without recording, or a recorder
 * without storage): the queue must keep the newest frames for as long as
 * the channel runs, however many frames the encoder lends out at once. */
TEST_F(AudioChannelTest, UnmarkedQueueKeepsTakingNewFramesWithTheDefaultCap)
{
    ManualClock clock(1);
    void *h = start_audio("main");
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(clock.run_until([] { return audio_queue_len() >= 1; }, 1000));
    const uint64_t first = queued_ts().front();
    /* 12 s of audio: past the 64 frames (8.2 s) an encoder lends at most. */
    const bool fresh = clock.run_until([&] {
        std::vector<uint64_t> now = queued_ts();
        return !now.empty() && now.back() >= first + 12000;
    }, 12500);
    const size_t len = queued_ts().size();
    clock.stop();
    tvr_mirel_aenc_release(h);
    EXPECT_TRUE(fresh) << "no new audio frame after " << len << " queued";
    EXPECT_LE(len, static_cast<size_t>(tvr__aenc_queue_cap(8000)));
}
