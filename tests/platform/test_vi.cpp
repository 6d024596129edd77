// Video input: pacing, buffer depth, time stamps and the scene.
#include "av_sync.h"
#include "ozi_ai.h"
#include "ozi_host.h"
#include "ozi_scene.h"
#include "ozi_sdk.h"
#include "support/log_capture.h"
#include "support/manual_clock.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using tvrtest::ManualClock;

/* Pictures are paced by the platform's manual clock, which only the test moves. */
class Vi : public testing::Test {
protected:
    void SetUp() override
    {
        ozi_host_clear_faults();
        clock_.reset(new ManualClock);
        ASSERT_EQ(0, ozi_vi_open(0));
        ASSERT_EQ(0, ozi_vi_enable_dev(0));
    }
    void TearDown() override
    {
        ozi_vi_close(0);
        clock_.reset();
    }
    std::unique_ptr<ManualClock> clock_;

    static void configure(int chn, int w, int h, int fps, int depth)
    {
        VI_CHN_ATTR a;
        std::memset(&a, 0, sizeof a);
        a.chn_id = chn;
        a.res = {w, h};
        a.frame_rate = fps;
        a.frame_depth = depth;
        ASSERT_EQ(0, ozi_vi_set_chn_attr(chn, &a));
        ASSERT_EQ(0, ozi_vi_enable_chn(chn));
    }
};

TEST_F(Vi, SensorIs1080p)
{
    RECTANGLE_S r{0, 0};
    ASSERT_EQ(0, ozi_vi_get_sensor_resolution(0, &r));
    EXPECT_EQ(1920, r.width);
    EXPECT_EQ(1080, r.height);
}

/* Two channels at their own rates and sizes, polled every 2 ms for one
 * second; a poller that comes late gets the newest picture only, and the
 * dropped pictures are logged. */
TEST_F(Vi, ChannelsArePacedAtTheirOwnRates)
{
    configure(0, 160, 90, 25, 2);
    configure(1, 96, 64, 10, 2);
    struct Seen {
        int count = 0;
        uint64_t last_ts = 0;
        uint32_t last_seq = 0;
    } seen[2];
    const int want_len[2] = {160 * 90 * 3 / 2, 96 * 64 * 3 / 2};
    const uint64_t interval[2] = {40, 100};
    const uint64_t start = ManualClock::now_ms();
    tvrtest::LogCapture capture;
    for (int step = 0; step < 500; step++) {
        ManualClock::advance_ms(step == 250 ? 230 : 2); /* one late poll */
        const uint64_t now = ManualClock::now_ms();
        for (int chn = 0; chn < 2; chn++) {
            struct video_input_frame f;
            if (ozi_vi_get_frame(chn, &f) != 0)
                continue;
            EXPECT_EQ((uint32_t)want_len[chn], f.vi_frame.len);
            EXPECT_LE(f.vi_frame.ts, now) << "a picture is not stamped in the future";
            EXPECT_GT(f.vi_frame.ts + interval[chn], now) << "the newest due picture";
            EXPECT_EQ(0u, (f.vi_frame.ts - start) % interval[chn]);
            if (seen[chn].count > 0) {
                EXPECT_EQ(seen[chn].last_seq + 1, f.vi_frame.seq_no);
            }
            seen[chn].count++;
            seen[chn].last_ts = f.vi_frame.ts;
            seen[chn].last_seq = f.vi_frame.seq_no;
            EXPECT_EQ(0, ozi_vi_release_frame(chn, &f));
        }
    }
    /* 1228 ms: 30 main pictures due, 5 of them dropped at the late poll
     * (520 to 680 ms); 12 sub pictures due, 1 dropped (600 ms). */
    EXPECT_EQ(25, seen[0].count);
    EXPECT_EQ(11, seen[1].count);
    EXPECT_EQ(start + 1200, seen[0].last_ts);
    EXPECT_EQ(start + 1200, seen[1].last_ts);
    /* After a pause in polling, the pictures nobody asked for are no drops. */
    ManualClock::advance_ms(5000);
    struct video_input_frame f;
    ASSERT_EQ(0, ozi_vi_get_frame(0, &f));
    EXPECT_EQ(0, ozi_vi_release_frame(0, &f));
    EXPECT_EQ(0, ozi_vi_disable_chn(0));
    EXPECT_EQ(0, ozi_vi_disable_chn(1));
    const std::string log = capture.take();
    EXPECT_EQ(log, "[vi] chn 0: 5 pictures dropped, not taken in time\n"
                   "[vi] chn 1: 1 pictures dropped, not taken in time\n");
}

TEST_F(Vi, NoPictureReadyFailsAtOnce)
{
    configure(1, 64, 48, 5, 2);
    struct video_input_frame f;
    EXPECT_NE(0, ozi_vi_get_frame(1, &f)) << "first picture is due one interval after enable";
    ManualClock::advance_ms(199);
    EXPECT_NE(0, ozi_vi_get_frame(1, &f));
    ManualClock::advance_ms(1);
    ASSERT_EQ(0, ozi_vi_get_frame(1, &f));
    EXPECT_NE(0, ozi_vi_get_frame(1, &f));
    EXPECT_EQ(0, ozi_vi_release_frame(1, &f));
    EXPECT_NE(0, ozi_vi_release_frame(1, &f)) << "a picture is released once";
}

TEST_F(Vi, AtMostFrameDepthPicturesAreHeld)
{
    configure(1, 64, 48, 50, 2);
    std::vector<video_input_frame> held;
    for (int i = 0; i < 2; i++) {
        ManualClock::advance_ms(20);
        video_input_frame f;
        ASSERT_EQ(0, ozi_vi_get_frame(1, &f));
        held.push_back(f);
    }
    EXPECT_NE(held[0].vi_frame.data, held[1].vi_frame.data);
    ManualClock::advance_ms(60);
    video_input_frame f;
    EXPECT_NE(0, ozi_vi_get_frame(1, &f)) << "both buffers are out";
    ASSERT_EQ(0, ozi_vi_release_frame(1, &held[0]));
    ASSERT_EQ(0, ozi_vi_get_frame(1, &f)) << "a released buffer is used again";
    EXPECT_EQ(held[0].vi_frame.data, f.vi_frame.data);
    EXPECT_EQ(0, ozi_vi_release_frame(1, &f));
    EXPECT_EQ(0, ozi_vi_release_frame(1, &held[1]));
}

TEST_F(Vi, BadAttributesAndStatesAreRefused)
{
    VI_CHN_ATTR a;
    std::memset(&a, 0, sizeof a);
    a.res = {1921, 1080};
    a.frame_rate = 25;
    a.frame_depth = 2;
    EXPECT_NE(0, ozi_vi_set_chn_attr(0, &a)) << "odd width";
    a.res = {3840, 2160};
    EXPECT_NE(0, ozi_vi_set_chn_attr(0, &a)) << "larger than the sensor";
    a.res = {640, 360};
    a.frame_rate = 0;
    EXPECT_NE(0, ozi_vi_set_chn_attr(0, &a)) << "no frame rate";
    a.frame_rate = 25;
    EXPECT_NE(0, ozi_vi_set_chn_attr(7, &a)) << "no such channel";
    configure(0, 640, 360, 25, 2);
    EXPECT_NE(0, ozi_vi_set_chn_attr(0, &a)) << "channel is running";
    ozi_vi_disable_dev(0);
    ManualClock::advance_ms(50);
    video_input_frame f;
    EXPECT_NE(0, ozi_vi_get_frame(0, &f)) << "device disabled";
}

/* ---- the scene ----------------------------------------------------- */

constexpr int kW = 320, kH = 180;
constexpr size_t kBytes = kW * kH * 3 / 2;

/* Rows the clock may touch: digit height h/24 = 8 at 180 rows, box from
 * row 4 to 4 + 8 + 2 * 2. */
constexpr int kClockRows = 20;

size_t diff_outside_clock(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    size_t n = 0;
    for (size_t i = (size_t)kClockRows * kW; i < (size_t)kW * kH; i++)
        n += a[i] != b[i];
    return n;
}

size_t diff_luma(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    size_t n = 0;
    for (size_t i = 0; i < (size_t)kW * kH; i++)
        n += a[i] != b[i];
    return n;
}

TEST(Scene, SyntheticSceneIsDeterministicApartFromTheClock)
{
    ozi__scene *s = ozi__scene_create(kW, kH, 25, nullptr);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(0, ozi__scene_is_file(s));
    std::vector<uint8_t> a(kBytes), b(kBytes), c(kBytes), d(kBytes);
    time_t t = 1700000000;
    ozi__scene_render(s, 7, t, a.data());
    ozi__scene_render(s, 7, t, b.data());
    EXPECT_EQ(a, b);
    ozi__scene_render(s, 7, t + 1, c.data());
    EXPECT_GT(diff_luma(a, c), 0u) << "the clock shows the new second";
    EXPECT_EQ(0u, diff_outside_clock(a, c)) << "only the clock changes";
    ozi__scene_render(s, 30, t, d.data());
    EXPECT_GT(diff_outside_clock(a, d), 100u) << "objects move";
    ozi__scene_destroy(s);
}

/* The camera-like scene: sensor noise of a realistic level that changes
 * every frame, a light level that drifts by a few percent, and no sync
 * mark of its own. */
TEST(Scene, NoiseAndLightChangeOverTime)
{
    const int w = 640, h = 360, fps = 25;
    ozi__scene *s = ozi__scene_create(w, h, fps, nullptr);
    ASSERT_NE(nullptr, s);
    std::vector<uint8_t> a((size_t)w * h * 3 / 2), b(a.size()), c(a.size());
    ozi__scene_render(s, 0, 1700000000, a.data());
    ozi__scene_render(s, 1, 1700000000, b.data());
    ozi__scene_render(s, (uint32_t)(11.75 * fps), 1700000000, c.data());
    ozi__scene_destroy(s);
    /* A patch of wall that no object crosses: frame-to-frame differences
     * there are noise (the light moves by far less than a level). */
    double sum = 0, sq = 0;
    int n = 0;
    for (int y = h * 14 / 100; y < h * 23 / 100; y++)
        for (int x = w * 36 / 100; x < w * 57 / 100; x++, n++) {
            int d = a[(size_t)y * w + x] - b[(size_t)y * w + x];
            sum += d;
            sq += d * d;
        }
    double sigma = std::sqrt((sq / n - (sum / n) * (sum / n)) / 2); /* of one frame */
    EXPECT_GT(sigma, 1.2) << "visible sensor noise";
    EXPECT_LT(sigma, 3.5) << "no more than a lit camera shows";
    double mean_a = 0, mean_c = 0;
    for (size_t i = (size_t)kClockRows * w; i < (size_t)w * h; i++) {
        mean_a += a[i];
        mean_c += c[i];
    }
    double change = mean_c / mean_a - 1;
    EXPECT_GT(std::fabs(change), 0.02) << "the light drifts";
    EXPECT_LT(std::fabs(change), 0.10) << "slowly";
    for (const std::vector<uint8_t> *p : {&a, &b, &c})
        EXPECT_LT(av_sync_mark_score(p->data(), w, w, h), kAvSyncMarkScore);
}

/* The sync mark is on the picture captured on a whole second, and only
 * there; the analyser finds it where the scene draws it. */
TEST_F(Vi, SyncMarkIsOnThePictureOfTheWholeSecond)
{
    const int w = 320, h = 180;
    configure(1, w, h, 25, 2);
    int marked = 0, unmarked = 0;
    for (int step = 0; step < 30; step++) { /* 1.2 s of pictures */
        ManualClock::advance_ms(40);
        video_input_frame f;
        ASSERT_EQ(0, ozi_vi_get_frame(1, &f)) << "step " << step;
        double score = av_sync_mark_score(f.vi_frame.data, w, w, h);
        if (f.vi_frame.ts % 1000 == 0) {
            EXPECT_GT(score, 200.0) << "ts " << f.vi_frame.ts;
            marked++;
        } else {
            EXPECT_LT(score, kAvSyncMarkScore) << "ts " << f.vi_frame.ts;
            unmarked++;
        }
        ozi_vi_release_frame(1, &f);
    }
    EXPECT_EQ(1, marked) << "one picture a second is captured on the second";
    EXPECT_EQ(29, unmarked);
}

/* The microphone's sync tone starts on the whole second of the clock,
 * wherever the capture started, and the hum alone holds no tone. */
TEST(Ai, SyncToneStartsOnTheWholeSecond)
{
    struct Row {
        uint64_t start_us;  /* clock time of sample 0 */
        double want_sample; /* first sample of the tone; < 0: none */
        uint64_t count;
    } rows[] = {
        {996000, 32, 4000},    /* 4 ms before a second */
        {2500000, 4000, 8000}, /* half a second before */
        {6900000, 800, 4000},  /* 100 ms before */
        {3100000, -1, 4000},   /* 100..600 ms into a second: none */
    };
    for (const Row &r : rows) {
        std::vector<int16_t> pcm(r.count);
        ozi__ai_synth(0, 8000, OZI__AI_UNITY_GAIN, pcm.data(), pcm.size());
        ozi__ai_add_sync_tone(r.start_us, 0, 8000, OZI__AI_UNITY_GAIN, pcm.data(), pcm.size());
        std::vector<float> f(pcm.begin(), pcm.end());
        for (float &v : f)
            v /= 32768.0f;
        std::vector<double> got = av_sync_tone_starts(f, 8000);
        if (r.want_sample < 0) {
            EXPECT_TRUE(got.empty()) << r.start_us;
            continue;
        }
        ASSERT_EQ(1u, got.size()) << r.start_us;
        EXPECT_NEAR(r.want_sample, got[0], 1.0) << r.start_us;
    }
}

TEST(Scene, BadSizesAreRefused)
{
    EXPECT_EQ(nullptr, ozi__scene_create(15, 16, 25, nullptr));
    EXPECT_EQ(nullptr, ozi__scene_create(33, 16, 25, nullptr));
}

/* Writes an H.264 elementary stream of `frames` synthetic pictures. */
void write_h264_file(const char *path, int frames)
{
    venc_param p;
    std::memset(&p, 0, sizeof p);
    p.width = kW;
    p.height = kH;
    p.fps = 25;
    p.goplen = 5;
    p.target_kbps = 400;
    p.max_kbps = 400;
    int h = -1;
    ASSERT_EQ(0, ozi_venc_open(&p, &h));
    ozi__scene *s = ozi__scene_create(kW, kH, 25, nullptr);
    std::vector<uint8_t> pic(kBytes);
    FILE *f = fopen(path, "wb");
    ASSERT_NE(nullptr, f);
    for (int i = 0; i < frames; i++) {
        ozi__scene_render(s, (uint32_t)i * 5, 1700000000 + i, pic.data());
        video_stream st;
        ASSERT_EQ(0, ozi_venc_encode_frame(h, pic.data(), (unsigned)pic.size(), nullptr, &st));
        fwrite(st.data, 1, st.len, f);
        ozi_venc_release_stream(h, &st);
    }
    fclose(f);
    ozi__scene_destroy(s);
    ozi_venc_close(h);
}

TEST(Scene, FileSceneIsScaledAndLoops)
{
    ozi_host_clear_faults();
    tvrtest::ScratchDir dir("ozi_scene");
    const std::string path = dir / "scene.h264";
    write_h264_file(path.c_str(), 6);
    const int w = 160, h = 90; /* the file is scaled to the channel size */
    ozi__scene *s = ozi__scene_create(w, h, 25, path.c_str());
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(1, ozi__scene_is_file(s));
    std::vector<std::vector<uint8_t>> pics(14, std::vector<uint8_t>((size_t)w * h * 3 / 2));
    for (uint32_t i = 0; i < pics.size(); i++)
        ozi__scene_render(s, i, 1700000000, pics[i].data());
    ozi__scene_destroy(s);
    EXPECT_TRUE(pics[0] != pics[1]) << "the file's pictures differ";
    for (size_t i = 6; i < pics.size(); i++)
        EXPECT_TRUE(pics[i] == pics[i % 6]) << "picture " << i << " starts the file again";
}

/* Scenes of one file at different rates show the file's picture due at
 * their frame's time (the file plays at its own 25 fps), also while they
 * render on two threads at once. */
TEST(Scene, FileScenesShowThePictureDueAtTheirTime)
{
    ozi_host_clear_faults();
    tvrtest::ScratchDir dir("ozi_scene_rates");
    const std::string path = dir / "scene.h264";
    write_h264_file(path.c_str(), 30);
    const int w = 160, h = 90;
    ozi__scene *at25 = ozi__scene_create(w, h, 25, path.c_str());
    ozi__scene *at20 = ozi__scene_create(w, h, 20, path.c_str());
    ASSERT_TRUE(at25 && at20);
    std::vector<uint8_t> a((size_t)w * h * 3 / 2), b(a.size());
    std::thread t1([&] {
        for (uint32_t i = 0; i <= 25; i++)
            ozi__scene_render(at25, i, 1700000000, a.data());
    });
    std::thread t2([&] {
        std::vector<uint8_t> mine(b.size());
        for (uint32_t i = 0; i <= 20; i++)
            ozi__scene_render(at20, i, 1700000000, mine.data());
    });
    t1.join();
    t2.join();
    ozi__scene_render(at25, 25, 1700000000, a.data()); /* 1.00 s: picture 25 */
    ozi__scene_render(at20, 20, 1700000000, b.data()); /* 1.00 s */
    EXPECT_TRUE(a == b) << "one second in, both show the same picture";
    ozi__scene_render(at20, 21, 1700000000, b.data()); /* 1.05 s: still picture 26 */
    ozi__scene_render(at25, 26, 1700000000, a.data()); /* 1.04 s: picture 26 */
    EXPECT_TRUE(a == b);
    ozi__scene_render(at25, 27, 1700000000, a.data());
    EXPECT_FALSE(a == b) << "the next picture differs";
    ozi__scene_destroy(at25);
    ozi__scene_destroy(at20);
}

/* OZI_SCENE_FILE puts the file in front of the sensor of every channel. */
TEST_F(Vi, SceneFileFromTheEnvironment)
{
    tvrtest::ScratchDir dir("ozi_vi_scene");
    const std::string path = dir / "scene.h264";
    write_h264_file(path.c_str(), 3);
    const int w = 160, h = 90;
    ozi__scene *ref = ozi__scene_create(w, h, 25, path.c_str());
    ASSERT_NE(nullptr, ref);
    std::vector<uint8_t> want((size_t)w * h * 3 / 2);
    ozi__scene_render(ref, 0, 1700000000, want.data());
    ozi__scene_destroy(ref);

    setenv("OZI_SCENE_FILE", path.c_str(), 1);
    configure(1, w, h, 25, 2);
    video_input_frame f;
    ManualClock::advance_ms(40);
    int rc = ozi_vi_get_frame(1, &f);
    unsetenv("OZI_SCENE_FILE");
    ASSERT_EQ(0, rc);
    size_t differ = 0;
    for (size_t i = (size_t)kClockRows * w; i < (size_t)w * h; i++)
        differ += f.vi_frame.data[i] != want[i];
    EXPECT_EQ(0u, differ) << "the first picture of the file, scaled to the channel";
    ozi_vi_release_frame(1, &f);
    ozi_vi_disable_chn(1);
    VI_CHN_ATTR a;
    std::memset(&a, 0, sizeof a);
    a.res = {64, 48};
    a.frame_rate = 25;
    a.frame_depth = 2;
    ASSERT_EQ(0, ozi_vi_set_chn_attr(1, &a)) << "a new size drops the file scene";
}

TEST(Scene, UnreadableFileFallsBackToTheSyntheticScene)
{
    tvrtest::LogCapture capture;
    ozi__scene *s = ozi__scene_create(64, 48, 25, "/nonexistent/video.mp4");
    std::string out = capture.take();
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(0, ozi__scene_is_file(s));
    EXPECT_NE(std::string::npos, out.find("/nonexistent/video.mp4")) << out;
    ozi__scene_destroy(s);
}

} // namespace
