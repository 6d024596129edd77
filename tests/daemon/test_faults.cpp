/*
 * test_faults.cpp - the platform's take-down, release and setting calls
 * fail once on demand, and the media source reports the failure and
 * carries on: a release is tried again, a channel still closes, bring-up
 * and take-down still finish.  (Bring-up failures: test_avsrc.cpp;
 * encode and capture failures: test_venc.cpp, test_aenc.cpp; the
 * recorder's: recorder_start_test.cpp.)
 */
#include "daemon_test_util.h"

#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
/* A failed ozi_thread_detach leaves the worker undetached by design of that
 * row; ThreadSanitizer would report it as a leaked thread. */
extern "C" const char *__tsan_default_options() { return "report_thread_leaks=0"; }
#endif
#include <functional>
#include <string>

using namespace tvrtest;

namespace {

struct FaultCase {
    const char *op;
    const char *line;           /* what the daemon's error line carries */
    std::function<void()> run;  /* drives the caller; checks what must still hold */
};

/* Waits until the channel has published `frames` frames after the first. */
void wait_frames(void *h, int frames)
{
    unsigned char *buf = static_cast<unsigned char *>(std::malloc(DOVU_STREAM_BUF_SIZE));
    unsigned long long last = 0;
    int seen = -1;
    EXPECT_TRUE(wait_until([&] {
        unsigned int size = 0;
        unsigned long long ts = 0;
        tvr_mirel_get_vstrm_data(h, buf, &size, &ts);
        if (size > 0 && ts > last) {
            last = ts;
            seen++;
        }
        return seen >= frames;
    }, 5000));
    std::free(buf);
}

void take_down()
{
    tvr_mirel_exit_av();
    EXPECT_EQ(tvr_avsrc->flag_av_init, 0);
    EXPECT_EQ(tvr_avsrc->ai_handle, -1);
}

void bring_up_again()
{
    tvr_mirel_exit_av();
    EXPECT_EQ(tvr_mirel_init_av("tavro_mirel.conf"), 0);
    EXPECT_EQ(tvr_avsrc->flag_av_init, 1);
}

void sub_runs_then_closes(int frames)
{
    void *h = start_video("sub");
    ASSERT_NE(h, nullptr);
    wait_frames(h, frames);
    tvr_mirel_venc_release(h);
    EXPECT_EQ(video_refs(1), 0);
    EXPECT_EQ(video_handle(1), -1);
}

void audio_runs_then_closes()
{
    void *h = start_audio("main");
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(wait_until([] { return audio_queue_len() > 0; }, 5000));
    tvr_mirel_aenc_release(h);
    EXPECT_EQ(audio_refs(), 0);
    EXPECT_EQ(audio_handle(), -1);
}

const FaultCase kCases[] = {
    {"ozi_sdk_exit", "ozi_sdk_exit() failed", take_down},
    {"ozi_vi_disable_chn", "ozi_vi_disable_chn(", take_down},
    {"ozi_vi_disable_dev", "ozi_vi_disable_dev(", take_down},
    {"ozi_vi_close", "ozi_vi_close(", take_down},
    {"ozi_ai_close", "ozi_ai_close(",
     [] {
         take_down();
         ozi_ai_close(0); /* the platform kept the microphone open */
     }},
    {"ozi_ai_enable_nr", "ozi_ai_enable_nr(", bring_up_again},
    {"ozi_ai_enable_agc", "ozi_ai_enable_agc(", bring_up_again},
    {"ozi_ai_enable_aec", "ozi_ai_enable_aec(", bring_up_again},
    {"ozi_ai_set_gain", "ozi_ai_set_gain(", bring_up_again},
    {"ozi_thread_detach", "ozi_thread_detach(", [] { sub_runs_then_closes(1); }},
    {"ozi_thread_set_name", "ozi_thread_set_name(name) failed", [] { sub_runs_then_closes(1); }},
    {"ozi_vi_release_frame", "ozi_vi_release_frame failed 1 time(s)\n",
     [] { sub_runs_then_closes(3); }},
    {"ozi_venc_release_stream", "ozi_venc_release_stream failed 1 time(s)\n",
     [] { sub_runs_then_closes(3); }},
    {"ozi_venc_close", "ozi_venc_close(value) failed", [] { sub_runs_then_closes(1); }},
    {"ozi_venc_request_idr", "ozi_venc_request_idr(handle) failed",
     [] {
         ASSERT_EQ(venc_start(1), 0);
         /* Past the encoder's first picture, an IDR: the next are P frames. */
         ASSERT_TRUE(wait_until([] { return video_queue_len(1) == 1; }, 5000));
         unsigned char *buf = static_cast<unsigned char *>(std::malloc(DOVU_STREAM_BUF_SIZE));
         unsigned int size = 0;
         struct timeval tv = {0, 0};
         /* The I frame still comes: at the next request or the GOP's end. */
         EXPECT_EQ(get_video_data(buf, &size, 1, &tv, 1), 0);
         EXPECT_GT(size, 0u);
         std::free(buf);
         venc_end(1);
     }},
    {"ozi_aenc_set_attr", "] ozi_aenc_set_attr failed\n",
     [] {
         EXPECT_EQ(start_audio("main"), nullptr);
         EXPECT_EQ(audio_refs(), 0);
         EXPECT_EQ(audio_handle(), -1);
         audio_runs_then_closes(); /* the failure was not left behind */
     }},
    {"ozi_ai_release_frame", "ozi_ai_release_frame failed 1 time(s)\n", audio_runs_then_closes},
    {"ozi_aenc_release_stream", "ozi_aenc_release_stream failed 1 time(s)\n",
     audio_runs_then_closes},
    {"ozi_ai_stop_capture", "ozi_ai_stop_capture(", audio_runs_then_closes},
    {"ozi_aenc_close", "ozi_aenc_close(value) failed", audio_runs_then_closes},
};

class PlatformFaultTest : public AvSourceTest,
                          public testing::WithParamInterface<FaultCase> {};

TEST_P(PlatformFaultTest, IsReportedAndSurvived)
{
    const FaultCase &c = GetParam();
    ASSERT_EQ(ozi_host_fail(c.op, 0, 1), 0);
    LogCapture log;
    c.run();
    std::string out = log.take();
    EXPECT_GT(ozi_host_call_count(c.op), 0) << c.op << " was never called";
    size_t at = out.find(c.line);
    ASSERT_NE(at, std::string::npos) << out;
    size_t start = out.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    const std::string line = out.substr(start, out.find('\n', at) - start);
    EXPECT_EQ(line[0], '[') << line;      /* "[function:line] " */
    EXPECT_NE(line.find("failed"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Ops, PlatformFaultTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<FaultCase> &info) {
                             return std::string(info.param.op + 4); /* without "ozi_" */
                         });

} // namespace
