// The platform's clock: the manual clock tests drive, its sleepers, and the
// pacing of both capture channels and the microphone on it.
#include "ozi_sdk.h"
#include "support/manual_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using tvrtest::ManualClock;

constexpr int kHangMs = 10000; /* bound for a hung thread, not a timing guess */

TEST(Clock, ManualClockStandsStillUntilAdvanced)
{
    const uint64_t before = ozi_host_clock_now_us();
    ManualClock clock;
    const uint64_t t0 = ozi_host_clock_now_us();
    EXPECT_GE(t0, before);
    EXPECT_EQ(t0, ozi_host_clock_now_us());
    ManualClock::advance_ms(1500);
    EXPECT_EQ(t0 + 1500000, ozi_host_clock_now_us());
}

TEST(Clock, SwitchingBackNeverGoesBackwards)
{
    uint64_t manual_end;
    {
        ManualClock clock;
        ManualClock::advance_ms(3600 * 1000); /* an hour ahead of the system clock */
        manual_end = ozi_host_clock_now_us();
    }
    EXPECT_GE(ozi_host_clock_now_us(), manual_end);
    EXPECT_NE(0, ozi_host_clock_advance_us(1)) << "the system clock cannot be advanced";
}

/* Sleepers wake exactly when the clock reaches their deadline, each at its own. */
TEST(Clock, SleepersWakeAtTheirDeadlines)
{
    ManualClock clock;
    std::atomic<int> woke[2] = {{0}, {0}};
    std::thread a([&] { ozi_sleep_ms(100); woke[0] = 1; });
    std::thread b([&] { ozi_sleep_ms(250); woke[1] = 1; });
    ASSERT_EQ(0, ozi_host_clock_wait_sleepers(2, kHangMs));
    ManualClock::advance_ms(99);
    EXPECT_EQ(2, ozi_host_clock_sleepers());
    ManualClock::advance_ms(1);
    a.join();
    EXPECT_EQ(1, woke[0].load());
    EXPECT_EQ(0, woke[1].load());
    EXPECT_EQ(1, ozi_host_clock_sleepers());
    ManualClock::advance_ms(150);
    b.join();
    EXPECT_EQ(0, ozi_host_clock_sleepers());
    ozi_sleep_ms(0); /* no time to wait: returns at once */
}

TEST(Clock, SwitchingBackWakesSleepers)
{
    std::thread t;
    {
        ManualClock clock;
        t = std::thread([] { ozi_sleep_ms(3600 * 1000); });
        ASSERT_EQ(0, ozi_host_clock_wait_sleepers(1, kHangMs));
    }
    t.join();
}

/*
 * The camera's two capture channels and its microphone, each read by a
 * thread that retries after a sleep as the daemon's workers do.  The clock
 * moves in 5 ms steps, each once all three sleep: one second brings exactly
 * 25 main and 20 sub pictures and 31 audio frames (32 ms each), however
 * busy the machine is.
 */
TEST(Clock, OneSecondBringsEveryFrameOfEveryChannel)
{
    ozi_host_clear_faults();
    ManualClock clock;
    ASSERT_EQ(0, ozi_vi_open(0));
    ASSERT_EQ(0, ozi_vi_enable_dev(0));
    const struct {
        int w, h, fps;
    } chans[2] = {{1920, 1080, 25}, {640, 360, 20}};
    for (int chn = 0; chn < 2; chn++) {
        VI_CHN_ATTR a;
        std::memset(&a, 0, sizeof a);
        a.chn_id = chn;
        a.res = {chans[chn].w, chans[chn].h};
        a.frame_rate = chans[chn].fps;
        a.frame_depth = 2;
        ASSERT_EQ(0, ozi_vi_set_chn_attr(chn, &a));
        ASSERT_EQ(0, ozi_vi_enable_chn(chn));
    }
    ozi_audio_in_param ip;
    std::memset(&ip, 0, sizeof ip);
    ip.pcm_data_attr = {AUDIO_SAMPLE_RATE_8000, 16, AUDIO_CHANNEL_MONO};
    ip.dev_id = DEV_ADC;
    int ai = -1;
    ASSERT_EQ(0, ozi_ai_open(&ip, &ai));
    ASSERT_EQ(0, ozi_ai_start_capture(ai));
    const uint64_t t0 = ManualClock::now_ms();

    std::atomic<bool> stop{false};
    std::vector<uint64_t> ts[3]; /* main, sub, audio; each written by its reader only */
    auto reader = [&](int which) {
        while (!stop) {
            uint64_t got = 0;
            bool ok;
            if (which < 2) {
                video_input_frame f;
                ok = ozi_vi_get_frame(which, &f) == 0;
                if (ok) {
                    got = f.vi_frame.ts;
                    ozi_vi_release_frame(which, &f);
                }
            } else {
                frame f;
                ok = ozi_ai_get_frame(ai, &f, 0) == 0;
                if (ok) {
                    got = f.ts;
                    ozi_ai_release_frame(ai, &f);
                }
            }
            if (ok)
                ts[which].push_back(got);
            else
                ozi_sleep_ms(5);
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; i++)
        readers.emplace_back(reader, i);
    EXPECT_EQ(0, ozi_host_clock_run(1000 * 1000, 5000, 3, kHangMs));
    stop = true;
    ManualClock::advance_ms(5); /* wakes the readers to see `stop` */
    for (auto &t : readers)
        t.join();

    const uint64_t interval[3] = {40, 50, 32};
    const size_t want[3] = {25, 20, 31}; /* 1000 / 32 = 31.25 */
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        ASSERT_EQ(want[i], ts[i].size());
        for (size_t k = 0; k < ts[i].size(); k++) {
            /* a picture is stamped when due, an audio frame at its first sample */
            uint64_t expect = t0 + (i < 2 ? (k + 1) : k) * interval[i];
            EXPECT_EQ(expect, ts[i][k]) << k;
        }
    }
    ozi_ai_stop_capture(ai);
    ozi_ai_close(ai);
    ozi_vi_close(0);
}

} // namespace
